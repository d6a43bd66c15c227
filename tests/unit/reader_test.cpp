// Line assembly and checks of the command reader, fed bytes directly.
#include <gtest/gtest.h>

#include "host/reader.h"

namespace zt {
namespace {

struct Recorder {
  std::vector<std::string> events;  // command words, "<refused>" and "<end>"
  CommandReader reader{{[this](const std::string& w) { events.push_back(w); },
                        [this] { events.push_back("<refused>"); }, [this] { events.push_back("<end>"); }}};
  void feed(const std::string& bytes) { reader.feed(bytes.data(), bytes.size()); }
};

using Words = std::vector<std::string>;

TEST(CommandReader, ParsesOnlyOneEntryObjectsWithAllowedWords) {
  EXPECT_EQ(parseCommandLine("{\"command\":\"prepare\"}"), "prepare");
  EXPECT_EQ(parseCommandLine(" {\"command\" : \"resume\"}\r"), "resume");
  for (const char* bad : {"", "{}", "{\"command\":\"stop\",\"x\":1}", "{\"cmd\":\"stop\"}", "{\"command\":5}",
                          "{\"command\":\"Stop\"}", "[\"stop\"]", "\"stop\"", "{\"command\":\"stop\"}}",
                          "{\"command\":[\"stop\"]}", "{\"command\":\"stop \"}", "nul"})
    EXPECT_EQ(parseCommandLine(bad), std::nullopt) << bad;
  // A NUL anywhere refuses the line, also where the JSON before it is whole.
  using namespace std::string_literals;
  for (const std::string& bad :
       {"{\"command\":\"stop\"}\0garbage"s, "\0{\"command\":\"stop\"}"s, "{\"command\":\"stop\"}\0"s})
    EXPECT_EQ(parseCommandLine(bad), std::nullopt);
}

TEST(CommandReader, HandlesLinesInOrderAndClosesAfterStop) {
  Recorder r;
  r.feed(
      "{\"command\":\"prepare\"}\n{\"command\":\"start\"}\n{\"command\":\"stop\"}\n{\"command\":\"pause\"}"
      "\n");
  EXPECT_EQ(r.events, (Words{"prepare", "start", "stop"}));
  EXPECT_TRUE(r.reader.closed());
  r.feed("{\"command\":\"pause\"}\n");
  r.reader.finish();
  EXPECT_EQ(r.events, (Words{"prepare", "start", "stop"}));
}

TEST(CommandReader, AssemblesLinesAcrossReads) {
  Recorder r;
  r.feed("{\"comm");
  r.feed("and\":\"pre");
  r.feed("pare\"}\n{\"command\"");
  EXPECT_EQ(r.events, (Words{"prepare"}));
  r.feed(":\"stop\"}\n");
  EXPECT_EQ(r.events, (Words{"prepare", "stop"}));
}

TEST(CommandReader, RefusesAtThe4097thByte) {
  Recorder exact;
  const std::string core = "{\"command\":\"start\"}";
  exact.feed(core + std::string(4096 - core.size(), ' ') + "\n");
  EXPECT_EQ(exact.events, (Words{"start"}));

  Recorder over;
  over.feed(std::string(4096, ' '));
  EXPECT_TRUE(over.events.empty());
  over.feed(" ");
  EXPECT_EQ(over.events, (Words{"<refused>"}));
  EXPECT_TRUE(over.reader.closed());
}

TEST(CommandReader, EndOfInputWithAndWithoutPartialLine) {
  Recorder clean;
  clean.feed("{\"command\":\"prepare\"}\n");
  clean.reader.finish();
  EXPECT_EQ(clean.events, (Words{"prepare", "<end>"}));

  Recorder partial;
  partial.feed("{\"command\":\"prepare\"}");
  partial.reader.finish();
  EXPECT_EQ(partial.events, (Words{"<refused>"}));
}

TEST(CommandReader, RefusalDropsTheRestOfTheRead) {
  Recorder r;
  r.feed("\n{\"command\":\"stop\"}\n");
  EXPECT_EQ(r.events, (Words{"<refused>"}));
  r.reader.fail();
  r.reader.finish();
  EXPECT_EQ(r.events, (Words{"<refused>"}));
}

}  // namespace
}  // namespace zt
