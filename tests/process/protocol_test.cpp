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

TEST(Protocol, StopFirstEndsCleanly) {
  const RunResult r = runSim(commandLine("stop"));
  EXPECT_EQ(r.control, (Events{kEnded}));
  EXPECT_EQ(r.status, 0);
  expectClean(r);
}

// What the parser sees only through real reads: NUL bytes, bytes that are
// not UTF-8, and a line without its line feed (the rest is checked on the
// reader itself).
TEST(Protocol, MalformedLinesAreRefused) {
  using namespace std::string_literals;
  const std::vector<std::string> bad = {
      "{\"command\":\"st\0op\"}\n"s,
      "{\"command\":\"prepare\"}\0"s + commandLine("stop"),
      "{\"command\":\"stop\"}\0garbage\n"s,
      "\xff\xfe\n",
  };
  for (const auto& line : bad) {
    SCOPED_TRACE(line);
    // A valid "stop" after the refused line must not be reached.
    const RunResult r = runSim(line + commandLine("stop"));
    EXPECT_EQ(r.control, (Events{errorEvent("PROTOCOL_ERROR"), kEnded}));
    EXPECT_EQ(r.status, 1);
    expectClean(r);
  }
}

TEST(Protocol, WhiteSpaceAndCarriageReturnAreAccepted) {
  auto child = startSim();
  child->write("{\"command\":\"prepare\"}\r\n");
  EXPECT_EQ(child->nextControl(), kPrepared.dump());
  child->write("  { \"command\" : \"stop\" }  \n");
  RunResult r = collect(*child);
  r.control.insert(r.control.begin(), kPrepared);
  EXPECT_EQ(r.control, (Events{kPrepared, kEnded}));
  EXPECT_EQ(r.status, 0);
  expectClean(r);
}

std::string paddedStop(size_t length) {
  const std::string core = "{\"command\":\"stop\"}";
  return core + std::string(length - core.size(), ' ');
}

TEST(Protocol, LineOfExactly4096BytesIsAccepted) {
  const RunResult r = runSim(paddedStop(4096) + "\n");
  EXPECT_EQ(r.control, (Events{kEnded}));
  EXPECT_EQ(r.status, 0);
}

TEST(Protocol, Line4097IsRefusedWithoutWaitingForItsLineFeed) {
  auto child = startSim();
  child->write(paddedStop(4097));  // no line feed, standard input left open
  const RunResult r = collect(*child, std::chrono::seconds(10));
  EXPECT_EQ(r.control, (Events{errorEvent("PROTOCOL_ERROR"), kEnded}));
  EXPECT_EQ(r.status, 1);
  expectClean(r);
}

TEST(Protocol, SplitAndJoinedReadsAreAssembled) {
  auto child = startSim();
  const std::string input = commandLine("prepare");
  // One byte at a time, with pauses, so that reads really split.
  for (char c : input) {
    child->write(std::string(1, c));
    std::this_thread::sleep_for(std::chrono::milliseconds(3));
  }
  EXPECT_EQ(child->nextControl(), kPrepared.dump());
  // Two commands joined in one write: the second refused in order.
  child->write(commandLine("resume") + commandLine("stop"));
  const RunResult r = collect(*child);
  EXPECT_EQ(r.control, (Events{errorEvent("INVALID_STATE"), kEnded}));
  EXPECT_EQ(r.status, 1);
}

TEST(Protocol, InputAfterStopIsIgnored) {
  // In the same read and in later ones.
  auto child = startSim();
  child->write(commandLine("stop") + "garbage\n" + commandLine("prepare"));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  child->write("more garbage\n");
  const RunResult r = collect(*child);
  EXPECT_EQ(r.control, (Events{kEnded}));
  EXPECT_EQ(r.status, 0);
}

TEST(Protocol, EndOfInputAfterWholeLineStops) {
  const RunResult r = prepareThen("");
  EXPECT_EQ(r.control, (Events{kPrepared, kEnded}));
  EXPECT_EQ(r.status, 0);
}

TEST(Protocol, EndOfInputInsidePartialLineIsRefused) {
  const RunResult r = runSim("{\"command\":\"stop\"}");
  EXPECT_EQ(r.control, (Events{errorEvent("PROTOCOL_ERROR"), kEnded}));
  EXPECT_EQ(r.status, 1);
}

TEST(Protocol, AnyArgumentIsRefusedWithoutReadingInput) {
  ChildOptions options;
  options.args = {"--verbose"};
  auto child = startSim(json::object(), options);
  // Input is never read: a valid command changes nothing.
  child->write(commandLine("prepare"));
  const RunResult r = collect(*child);
  EXPECT_EQ(r.control, (Events{errorEvent("PROTOCOL_ERROR"), kEnded}));
  EXPECT_EQ(r.status, 1);
  expectClean(r);
}

TEST(Protocol, CommandsInWrongPhaseAreInvalidState) {
  struct Case {
    std::string input;
    Events expected;
  };
  const std::vector<Case> cases = {
      // A later "prepare" is ignored, a later "stop" handled.
      {commandLine("start") + commandLine("prepare") + commandLine("stop"),
       {errorEvent("INVALID_STATE"), kEnded}},
      {commandLine("pause"), {errorEvent("INVALID_STATE"), kEnded}},
      {commandLine("resume"), {errorEvent("INVALID_STATE"), kEnded}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.input);
    const RunResult r = runSim(c.input);
    EXPECT_EQ(r.control, c.expected);
    EXPECT_EQ(r.status, 1);
    expectClean(r);
  }
  // After "prepared": a second "prepare", "pause" and "resume" are refused.
  for (const char* word : {"prepare", "pause", "resume"}) {
    SCOPED_TRACE(word);
    const RunResult r = prepareThen(commandLine(word) + commandLine("start"));
    EXPECT_EQ(r.control, (Events{kPrepared, errorEvent("INVALID_STATE"), kEnded}));
    EXPECT_EQ(r.status, 1);
    expectClean(r);
  }
}

TEST(Protocol, SecondPrepareWhilePreparingIsInvalidState) {
  // The microphone prompt stays open, so the session is still Preparing.
  const RunResult r = runSim(commandLine("prepare") + commandLine("prepare"),
                             {{"microphoneStatus", 0}, {"microphoneRequest", "never"}});
  EXPECT_EQ(r.control, (Events{errorEvent("INVALID_STATE"), kEnded}));
  EXPECT_EQ(r.status, 1);
}

TEST(Protocol, SignalsStopLikeStop) {
  for (int sig : {SIGINT, SIGTERM}) {
    SCOPED_TRACE(sig);
    auto child = startSim();
    child->write(commandLine("prepare"));
    ASSERT_EQ(child->nextControl(), kPrepared.dump());
    child->signal(sig);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    // Input after the signal is not read; a second signal changes nothing.
    child->write(commandLine("start"));
    child->signal(sig == SIGINT ? SIGTERM : SIGINT);
    const RunResult r = collect(*child);
    EXPECT_EQ(r.control, (Events{kEnded}));
    EXPECT_EQ(r.status, 0);
    expectClean(r);
  }
}

TEST(Protocol, SignalBeforeAnyInputEndsCleanly) {
  auto child = startSim();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  child->signal(SIGTERM);
  const RunResult r = collect(*child);
  EXPECT_EQ(r.control, (Events{kEnded}));
  EXPECT_EQ(r.status, 0);
}

TEST(Protocol, StandardInputAsRegularFileAndDevNull) {
  char name[] = "/tmp/zt-input-XXXXXX";
  const int fd = mkstemp(name);
  // Everything after "stop" is left unread.
  const std::string input = commandLine("stop") + "not json\n";
  ASSERT_EQ(write(fd, input.data(), input.size()), static_cast<ssize_t>(input.size()));
  lseek(fd, 0, SEEK_SET);
  ChildOptions fileInput;
  fileInput.stdinFd = fd;
  RunResult r = runSim("", json::object(), fileInput);
  EXPECT_EQ(r.control, (Events{kEnded}));
  EXPECT_EQ(r.status, 0);
  close(fd);
  unlink(name);

  // /dev/null is a plain end of input.
  const int null = open("/dev/null", O_RDONLY);
  ChildOptions nullInput;
  nullInput.stdinFd = null;
  r = runSim("", json::object(), nullInput, std::chrono::seconds(10));
  EXPECT_EQ(r.control, (Events{kEnded}));
  EXPECT_EQ(r.status, 0);
  expectClean(r);
  close(null);
}

TEST(Protocol, ClosedStandardInputIsRefusedEveryTime) {
  ChildOptions closed;
  closed.stdinFd = ChildOptions::kClosed;
  for (int run = 0; run < 10; ++run) {
    const RunResult r = runSim("", json::object(), closed, std::chrono::seconds(5));
    ASSERT_EQ(r.control, (Events{errorEvent("PROTOCOL_ERROR"), kEnded})) << "run " << run;
    ASSERT_EQ(r.status, 1);
  }
}

TEST(Protocol, StandardOutputAsRegularFile) {
  char name[] = "/tmp/zt-output-XXXXXX";
  const int fd = mkstemp(name);
  ChildOptions options;
  options.stdoutFd = fd;
  auto child = startSim(json::object(), options);
  child->write(commandLine("prepare"));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  child->write(commandLine("stop"));
  EXPECT_EQ(child->wait(std::chrono::seconds(10)), 0);
  std::string text(4096, '\0');
  text.resize(pread(fd, text.data(), text.size(), 0));
  EXPECT_EQ(text, "{\"event\":\"prepared\"}\n{\"event\":\"state\",\"state\":\"ended\"}\n");
  EXPECT_EQ(child->stderrText(), "");
  close(fd);
  unlink(name);
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
