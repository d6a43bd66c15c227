// Line assembly and checks of the command reader, fed bytes directly.
#include <gtest/gtest.h>

#include "host/reader.h"

namespace zt {
namespace {

using namespace std::string_literals;
using Words = std::vector<std::string>;

// The reader's calls in order: command words, "<refused>" and "<end>".
Words read(const std::vector<std::string>& chunks, bool finish = true) {
  Words events;
  CommandReader reader{{[&](const std::string& w) { events.push_back(w); },
                        [&] { events.push_back("<refused>"); }, [&] { events.push_back("<end>"); }}};
  for (const auto& chunk : chunks) reader.feed(chunk.data(), chunk.size());
  if (finish) reader.finish();
  return events;
}

TEST(CommandReader, ParsesOnlyOneEntryObjectsWithAllowedWords) {
  EXPECT_EQ(parseCommandLine("{\"command\":\"prepare\"}"), "prepare");
  EXPECT_EQ(parseCommandLine(" {\"command\" : \"resume\"}\r"), "resume");
  // A NUL anywhere refuses the line, also where the JSON before it is whole.
  for (const std::string& bad :
       {""s, "{}"s, "{\"command\":\"stop\",\"x\":1}"s, "{\"cmd\":\"stop\"}"s, "{\"command\":5}"s,
        "{\"command\":\"Stop\"}"s, "[\"stop\"]"s, "{\"command\":\"stop\"}}"s, "{\"command\":\"stop \"}"s,
        "{\"command\":\"stop\"}\0garbage"s, "\0{\"command\":\"stop\"}"s, "{\"command\":\"stop\"}\0"s})
    EXPECT_EQ(parseCommandLine(bad), std::nullopt) << bad;
}

TEST(CommandReader, Lines) {
  const std::string core = "{\"command\":\"start\"}";
  const struct {
    std::vector<std::string> chunks;
    Words expected;
    bool finish = true;
  } cases[] = {
      // Lines split anywhere across reads; nothing after "stop" is read.
      {{"{\"comm", "and\":\"pre", "pare\"}\n{\"command\"", ":\"stop\"}\n{\"command\":\"pause\"}\n"},
       {"prepare", "stop"}},
      {{"{\"command\":\"prepare\"}\n"}, {"prepare", "<end>"}},
      {{"{\"command\":\"prepare\"}"}, {"<refused>"}},
      // A refusal drops the rest of the read, and ends the input.
      {{"\n{\"command\":\"stop\"}\n"}, {"<refused>"}},
      // 4096 bytes before the line feed are a line; the 4097th is refused
      // without waiting for one.
      {{core + std::string(4096 - core.size(), ' ') + "\n"}, {"start", "<end>"}},
      {{std::string(4096, ' ')}, {}, false},
      {{std::string(4096, ' '), " "}, {"<refused>"}, false},
  };
  for (const auto& c : cases) EXPECT_EQ(read(c.chunks, c.finish), c.expected) << c.chunks[0];
}

}  // namespace
}  // namespace zt
