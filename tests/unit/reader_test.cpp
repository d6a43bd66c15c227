// Line assembly and checks of the command reader, fed bytes directly.
#include <gtest/gtest.h>

#include <random>

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

// Random splits of a valid stream give the same commands; random bytes never
// crash the reader and every outcome is a prefix of commands then at most
// one refusal or end.
TEST(CommandReader, RandomizedSplitsAndBytes) {
  std::mt19937 rng(20261206);
  const Words words = {"prepare", "start", "pause", "resume"};
  for (int round = 0; round < 300; ++round) {
    std::string stream;
    Words expected;
    const int count = 1 + static_cast<int>(rng() % 12);
    for (int i = 0; i < count; ++i) {
      const std::string& w = words[rng() % words.size()];
      stream += std::string(rng() % 3, ' ') + "{\"command\":\"" + w + "\"}" + (rng() % 2 ? "\r" : "") + "\n";
      expected.push_back(w);
    }
    Recorder r;
    size_t at = 0;
    while (at < stream.size()) {
      const size_t n = std::min<size_t>(stream.size() - at, 1 + rng() % 40);
      r.feed(stream.substr(at, n));
      at += n;
    }
    r.reader.finish();
    expected.push_back("<end>");
    ASSERT_EQ(r.events, expected) << stream;
  }
  for (int round = 0; round < 300; ++round) {
    Recorder r;
    const size_t length = rng() % 6000;
    std::string bytes(length, '\0');
    for (auto& b : bytes) b = static_cast<char>(rng() % 4 == 0 ? '\n' : rng() % 256);
    for (size_t at = 0; at < bytes.size();) {
      const size_t n = std::min<size_t>(bytes.size() - at, 1 + rng() % 4096);
      r.feed(bytes.substr(at, n));
      at += n;
    }
    r.reader.finish();
    ASSERT_FALSE(r.events.empty());
    const std::string& last = r.events.back();
    EXPECT_TRUE(last == "<refused>" || last == "<end>" || last == "stop");
  }
}

}  // namespace
}  // namespace zt
