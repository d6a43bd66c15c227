// A sound server that answers slowly or never must not hold up the helper:
// commands and signals are served meanwhile, and an answer that comes after
// the session moved on changes nothing.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <thread>

#include "support/helper_run.h"

namespace zt::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

json engines(std::vector<json> list) { return {{"engines", list}}; }

TEST(SlowServer, CommandsAndSignalsAreServedWhileTheServerIsSlow) {
  const json slow = {{"delayMs", 2500}};
  const json hangs = engines({{{"start", "never"}}});
  const char* pauseWaitResume =
      "prepare =prepared start wait150 pause =paused wait900 resume =recording stop";
  const Events pausedAndBack = {kPrepared, stateEvent("paused"), stateEvent("recording"), kEnded};
  const struct {
    const char* name;
    json scenario;
    const char* script;
    Events expected;
  } cases[] = {
      {"stop while the microphone is looked for",
       {{"microphoneQuery", slow}},
       "prepare wait150 stop",
       {kEnded}},
      {"signal while the input format is asked for",
       engines({{{"formatQuery", slow}}}),
       "prepare =prepared start wait150 TERM",
       {kPrepared, kEnded}},
      {"stop while the engine start hangs",
       hangs,
       "prepare =prepared start wait150 stop",
       {kPrepared, kEnded}},
      {"a refused command while the engine start hangs",
       hangs,
       "prepare =prepared start wait150 prepare",
       {kPrepared, errorEvent("INVALID_STATE"), kEnded}},
      {"pause while the engine start hangs",
       hangs,
       "prepare =prepared start wait150 pause =paused stop",
       {kPrepared, stateEvent("paused"), kEnded}},
      // An input that fails while its start is being answered stays failed.
      {"microphone lost before the engine start answers",
       engines({{{"start", {{"delayMs", 800}}}, {"configurationChangeAfterMs", 100}}}),
       "prepare =prepared start wait1200 stop",
       {kPrepared, errorEvent("MICROPHONE_UNAVAILABLE"), kEnded}},
      // The first run's answers arrive while paused, and must not end or
      // disturb the run that follows.
      {"late input format after a pause", engines({{{"formatQuery", {{"delayMs", 600}}}}, json::object()}),
       pauseWaitResume, pausedAndBack},
      {"late engine start after a pause", engines({{{"start", {{"delayMs", 600}}}}, json::object()}),
       pauseWaitResume, pausedAndBack},
      // Here it arrives while the next run waits for its own input format.
      {"late engine start during the next start",
       engines({{{"start", {{"delayMs", 600}}}}, {{"formatQuery", {{"delayMs", 800}}}}}),
       "prepare =prepared start wait150 pause =paused resume =recording stop", pausedAndBack},
      // A pause and resume while the stream starts bring the microphone back
      // after the stream's start, and slowly.
      {"stop while the microphone comes back",
       {{"streams", {{{"start", {{"delayMs", 300}}}}}},
        {"engines", {json::object(), {{"formatQuery", slow}}}}},
       "prepare =prepared start wait50 pause resume wait600 stop",
       {kPrepared, kEnded}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Clock::time_point lastSent;
    const RunResult r = runScript(c.scenario, c.script, &lastSent);
    // Well before the 2.5 s the slow answers take; hung ones never come.
    EXPECT_LT(Clock::now() - lastSent, 1500ms);
    EXPECT_EQ(r.control, c.expected);
    EXPECT_EQ(r.status,
              std::any_of(c.expected.begin(), c.expected.end(), [](auto& e) { return e.contains("code"); }));
    EXPECT_EQ(r.stderrText, "");
  }
}

// The real backend against a server that takes connections and never says a
// word: its questions give up after their bounds, and a "stop" meanwhile is
// served at once.
TEST(SlowServer, SilentSoundServer) {
  char dir[] = "/tmp/zt-silent-XXXXXX";
  const std::string path = std::string(mkdtemp(dir)) + "/native";
  const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  path.copy(address.sun_path, sizeof(address.sun_path) - 1);
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  ASSERT_EQ(listen(fd, 16), 0);
  for (const bool stop : {true, false}) {
    SCOPED_TRACE(stop ? "stopped" : "left to fail");
    ChildOptions options;
    options.env["PULSE_SERVER"] = "unix:" + path;
    Child child(ZT_HELPER_PATH, options);
    const auto begin = Clock::now();
    child.send("prepare");
    if (stop) {
      std::this_thread::sleep_for(300ms);
      child.send("stop");
    }
    const RunResult r = collect(child, 20s);
    // Two questions of two seconds each: the microphone, then the output.
    EXPECT_EQ(r.control, (stop ? Events{kEnded} : Events{errorEvent("SYSTEM_AUDIO_UNAVAILABLE"), kEnded}));
    EXPECT_LT(Clock::now() - begin, stop ? 1500ms : 8s);
    EXPECT_EQ(r.status, stop ? 0 : 1);
    EXPECT_EQ(r.stderrText, "");
  }
  close(fd);
  unlink(path.c_str());
  rmdir(dir);
}

}  // namespace
}  // namespace zt::test
