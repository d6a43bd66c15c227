// The line protocol through real reads and odd standard inputs; the
// property list embedded in the product executable, read back with standard
// binutils as any tool would.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <regex>
#include <sstream>

#include "support/helper_run.h"

namespace zt::test {
namespace {

TEST(Protocol, Inputs) {
  using namespace std::string_literals;
  const std::string stop = commandLine("stop");
  const int null = open("/dev/null", O_RDONLY);
  const Events refused = {errorEvent("PROTOCOL_ERROR"), kEnded};
  const Events invalid = {errorEvent("INVALID_STATE"), kEnded};
  const struct {
    std::string input;
    Events expected;
    json scenario = json::object();
    ChildOptions options = {};
    int runs = 1;
  } cases[] = {
      {"{\"command\":\"prepare\"}\0"s + stop + stop, refused},
      {"{\"command\":\"stop\"}\0garbage\n"s + stop, refused},
      {"\xff\xfe\n" + stop, refused},
      {"{\"command\":\"stop\"}", refused},
      {stop + "garbage\n" + commandLine("prepare"), {kEnded}},
      // A later "prepare" is ignored, a later "stop" handled.
      {commandLine("start") + commandLine("prepare") + stop, invalid},
      // The microphone prompt stays open, so the session is still preparing.
      {commandLine("prepare") + commandLine("prepare"), invalid,
       json{{"microphoneStatus", 0}, {"microphoneRequest", "never"}}},
      // A stop is served at once while the microphone is looked for slowly.
      {commandLine("prepare") + stop, {kEnded}, {{"microphoneQuery", {{"delayMs", 2500}}}}},
      // A prompt the user answers after the stop, or never, changes nothing.
      {commandLine("prepare") + stop, Events{kEnded},
       json{{"microphoneStatus", 0}, {"microphoneRequest", {{"result", "ok"}, {"delayMs", 300}}}}},
      {commandLine("prepare") + stop, Events{kEnded},
       json{{"screenPreflight", false}, {"screenRequestDelayMs", -1}}},
      // An argument is refused before any input is read.
      {commandLine("prepare"), refused, json::object(), {{"--verbose"}, {}}},
      {"", {kEnded}, json::object(), {{}, {}, null}},
      // Again and again: descriptor 0 is judged before anything can take it.
      {"", refused, json::object(), {{}, {}, ChildOptions::kClosed}, 10},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.input);
    for (int run = 0; run < c.runs; ++run) {
      const auto begin = std::chrono::steady_clock::now();
      const RunResult r = runSim(c.input, c.scenario, c.options);
      EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(1500));
      ASSERT_EQ(r.control, c.expected);
      EXPECT_EQ(r.status, c.expected == Events{kEnded} ? 0 : 1);
      EXPECT_EQ(r.stderrText, "");
      expectWellFormedLines(r);
    }
  }
  close(null);
}

// Ends well before the exit's grace period would.
TEST(Protocol, HostClosingStandardOutputEndsWithStatusOne) {
  auto child = startSim();
  child->closeStdout();
  child->write(commandLine("prepare"));
  EXPECT_EQ(child->wait(std::chrono::milliseconds(2500)), 1);
  EXPECT_EQ(child->stderrText(), "");
}

std::string readFile(const std::string& path) {
  std::stringstream text;
  text << std::ifstream(path).rdbuf();
  return text.str();
}

TEST(EmbeddedPropertyList, CarriesEveryKey) {
  char dumped[] = "/tmp/zt-plist-XXXXXX";
  close(mkstemp(dumped));
  const std::string cmd =
      std::string("objcopy -O binary --only-section=.info_plist --dump-section .info_plist=") + dumped + " " +
      ZT_HELPER_PATH + " /dev/null";
  ASSERT_EQ(system(cmd.c_str()), 0) << cmd;
  const std::string xml = readFile(dumped);
  unlink(dumped);
  // The section holds the file exactly as the sources have it.
  EXPECT_EQ(xml, readFile(ZT_SOURCE_DIR "/resources/Info.plist"));
  std::map<std::string, std::string> entries;
  const std::regex pair(R"(<key>([^<]*)</key>\s*<string>([^<]*)</string>)");
  for (auto it = std::sregex_iterator(xml.begin(), xml.end(), pair); it != std::sregex_iterator(); ++it)
    entries[(*it)[1]] = (*it)[2];
  const std::string audio = "Zentrell captures system audio when you start a conversation.";
  EXPECT_EQ(entries, (std::map<std::string, std::string>{
                         {"CFBundleName", "Zentrell Audio Helper"},
                         {"CFBundleVersion", "1"},
                         {"CFBundleIdentifier", entries["CFBundleIdentifier"]},
                         {"NSMicrophoneUsageDescription",
                          "Zentrell captures microphone audio when you start a conversation."},
                         {"NSScreenCaptureUsageDescription", audio},
                         {"NSAudioCaptureUsageDescription", audio}}));
  EXPECT_TRUE(std::regex_match(entries["CFBundleIdentifier"], std::regex(R"([a-z0-9-]+(\.[a-z0-9-]+){2,})")));
}

}  // namespace
}  // namespace zt::test
