// The line protocol through real reads and odd standard inputs.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include "support/helper_run.h"

namespace zt::test {
namespace {

TEST(Protocol, Inputs) {
  using namespace std::string_literals;
  const std::string stop = commandLine("stop");
  const int null = open("/dev/null", O_RDONLY);
  ChildOptions argument, fromNull, closed;
  argument.args = {"--verbose"};
  fromNull.stdinFd = null;
  closed.stdinFd = ChildOptions::kClosed;
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
      {commandLine("prepare") + commandLine("prepare"),
       invalid,
       {{"microphoneStatus", 0}, {"microphoneRequest", "never"}}},
      // A stop is served at once while the microphone is looked for slowly.
      {commandLine("prepare") + stop, {kEnded}, {{"microphoneQuery", {{"delayMs", 2500}}}}},
      // A prompt the user answers after the stop, or never, changes nothing.
      {commandLine("prepare") + stop,
       {kEnded},
       {{"microphoneStatus", 0}, {"microphoneRequest", {{"result", "ok"}, {"delayMs", 300}}}}},
      {commandLine("prepare") + stop, {kEnded}, {{"screenPreflight", false}, {"screenRequestDelayMs", -1}}},
      // An argument is refused before any input is read.
      {commandLine("prepare"), refused, json::object(), argument},
      {"", {kEnded}, json::object(), fromNull},
      // Again and again: descriptor 0 is judged before anything can take it.
      {"", refused, json::object(), closed, 10},
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
  // The end of input after a whole line is a stop.
  for (const char* word : {"prepare", "pause"}) {
    const RunResult r = runScript(json::object(), std::string("prepare =prepared ") + word + " start");
    EXPECT_EQ(r.control, (Events{kPrepared, errorEvent("INVALID_STATE"), kEnded})) << word;
    EXPECT_EQ(r.status, 1);
  }
  const RunResult r = runScript(json::object(), "prepare =prepared");
  EXPECT_EQ(r.control, (Events{kPrepared, kEnded}));
  EXPECT_EQ(r.status, 0);
}

// Either signal stops like "stop" while standard input stays open.
TEST(Protocol, SignalsStopLikeStop) {
  for (const int sig : {SIGINT, SIGTERM}) {
    auto child = startSim();
    child->send("prepare");
    ASSERT_EQ(child->nextControl(), kPrepared.dump());
    child->send("start");
    ASSERT_EQ(child->nextControl(), stateEvent("recording").dump());
    child->signal(sig);
    EXPECT_EQ(child->nextControl(std::chrono::seconds(2)), kEnded.dump()) << sig;
    EXPECT_EQ(child->finish(std::chrono::seconds(2)), 0) << sig;
  }
}

// Ends well before the exit's grace period would.
TEST(Protocol, HostClosingStandardOutputEndsWithStatusOne) {
  auto child = startSim();
  child->closeStdout();
  child->write(commandLine("prepare"));
  EXPECT_EQ(child->wait(std::chrono::milliseconds(2500)), 1);
  EXPECT_EQ(child->stderrText(), "");
}

}  // namespace
}  // namespace zt::test
