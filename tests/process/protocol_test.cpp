// The line protocol through the real process: what a host writes, what it
// reads back, and how the process ends.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <thread>

#include "support/helper_run.h"

namespace zt::test {
namespace {

void expectClean(const RunResult& r) {
  EXPECT_EQ(r.stderrText, "");
  expectWellFormedLines(r);
}

// Whole inputs written at once with standard input then closed. The line
// checks themselves are the reader's; what only real reads show is here: NUL
// bytes, bytes that are not UTF-8, a line without its line feed, and input
// after "stop" left unread.
TEST(Protocol, Inputs) {
  using namespace std::string_literals;
  const Events refused = {errorEvent("PROTOCOL_ERROR"), kEnded};
  const Events invalid = {errorEvent("INVALID_STATE"), kEnded};
  const std::string stop = commandLine("stop");
  const struct {
    std::string input;
    Events expected;
    json scenario = json::object();
  } cases[] = {
      {"{\"command\":\"prepare\"}\0"s + stop + stop, refused},
      {"{\"command\":\"stop\"}\0garbage\n"s + stop, refused},
      {"\xff\xfe\n" + stop, refused},
      {"{\"command\":\"stop\"}", refused},
      {stop + "garbage\n" + commandLine("prepare"), {kEnded}},
      // A later "prepare" is ignored, a later "stop" handled.
      {commandLine("start") + commandLine("prepare") + stop, invalid},
      {commandLine("resume"), invalid},
      // The microphone prompt stays open, so the session is still preparing.
      {commandLine("prepare") + commandLine("prepare"),
       invalid,
       {{"microphoneStatus", 0}, {"microphoneRequest", "never"}}},
      // A prompt the user answers after the stop, or never, changes nothing.
      {commandLine("prepare") + stop,
       {kEnded},
       {{"microphoneStatus", 0}, {"microphoneRequest", {{"result", "ok"}, {"delayMs", 300}}}}},
      {commandLine("prepare") + stop, {kEnded}, {{"screenPreflight", false}, {"screenRequestDelayMs", -1}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.input);
    const RunResult r = runSim(c.input, c.scenario);
    EXPECT_EQ(r.control, c.expected);
    EXPECT_EQ(r.status, c.expected == Events{kEnded} ? 0 : 1);
    expectClean(r);
  }
  // After "prepared": a second "prepare" and "pause" are refused;
  // the end of input after a whole line is a stop.
  for (const char* word : {"prepare", "pause"}) {
    SCOPED_TRACE(word);
    const RunResult r = prepareThen(commandLine(word) + commandLine("start"));
    EXPECT_EQ(r.control, (Events{kPrepared, errorEvent("INVALID_STATE"), kEnded}));
    EXPECT_EQ(r.status, 1);
  }
  const RunResult r = prepareThen("");
  EXPECT_EQ(r.control, (Events{kPrepared, kEnded}));
  EXPECT_EQ(r.status, 0);
}

TEST(Protocol, Line4097IsRefusedWithoutWaitingForItsLineFeed) {
  auto child = startSim();
  child->write("{\"command\":\"stop\"}" + std::string(4097 - 18, ' '));  // standard input left open
  const RunResult r = collect(*child, std::chrono::seconds(10));
  EXPECT_EQ(r.control, (Events{errorEvent("PROTOCOL_ERROR"), kEnded}));
  EXPECT_EQ(r.status, 1);
  expectClean(r);
}

// Input after the signal is not read, and a second signal changes nothing,
// before or after "prepare".
TEST(Protocol, SignalsStopLikeStop) {
  for (const int sig : {SIGINT, SIGTERM}) {
    SCOPED_TRACE(sig);
    auto child = startSim();
    if (sig == SIGTERM) {
      child->write(commandLine("prepare"));
      ASSERT_EQ(child->nextControl(), kPrepared.dump());
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    child->signal(sig);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    child->write(commandLine("start"));
    child->signal(sig == SIGINT ? SIGTERM : SIGINT);
    const RunResult r = collect(*child);
    EXPECT_EQ(r.control, (Events{kEnded}));
    EXPECT_EQ(r.status, 0);
    expectClean(r);
  }
}

TEST(Protocol, StandardInputAndArguments) {
  char name[] = "/tmp/zt-input-XXXXXX";
  const int file = mkstemp(name);
  // Everything after "stop" is left unread.
  const std::string input = commandLine("stop") + "not json\n";
  ASSERT_EQ(write(file, input.data(), input.size()), static_cast<ssize_t>(input.size()));
  lseek(file, 0, SEEK_SET);
  const int null = open("/dev/null", O_RDONLY);
  ChildOptions argument, fromFile, fromNull, closed;
  argument.args = {"--verbose"};
  fromFile.stdinFd = file;
  fromNull.stdinFd = null;
  closed.stdinFd = ChildOptions::kClosed;
  const Events refused = {errorEvent("PROTOCOL_ERROR"), kEnded};
  const struct {
    const char* name;
    ChildOptions options;
    Events expected;
    int runs;
  } cases[] = {
      // Refused without reading input: a valid command changes nothing.
      {"an argument", argument, refused, 1},
      {"a regular file", fromFile, {kEnded}, 1},
      {"/dev/null", fromNull, {kEnded}, 1},
      // Again and again: descriptor 0 is judged before anything can take it.
      {"closed", closed, refused, 10},
  };
  for (const auto& c : cases) {
    for (int run = 0; run < c.runs; ++run) {
      SCOPED_TRACE(c.name);
      const std::string write = c.options.args.empty() ? "" : commandLine("prepare");
      const RunResult r = runSim(write, json::object(), c.options, std::chrono::seconds(10));
      ASSERT_EQ(r.control, c.expected);
      EXPECT_EQ(r.status, c.expected == refused ? 1 : 0);
      expectClean(r);
    }
  }
  close(file);
  unlink(name);
  close(null);
}

TEST(Protocol, HostClosingStandardOutputEndsWithStatusOne) {
  auto child = startSim();
  child->closeStdout();
  const auto start = std::chrono::steady_clock::now();
  // Something must be written for the loss to be seen.
  child->write(commandLine("prepare"));
  const int status = child->wait(std::chrono::seconds(5));
  EXPECT_EQ(status, 1);
  // Well before the exit's grace period would end it.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2500));
  EXPECT_EQ(child->stderrText(), "");
}

}  // namespace
}  // namespace zt::test
