// A sound server that answers slowly or never must not hold up the helper:
// commands and signals are served meanwhile, and an answer that comes after
// the session moved on changes nothing.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <thread>

#include "support/helper_run.h"

namespace zt::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Sends `send` ("TERM": the signal), then reads until `await` arrives, or
// waits `sleepMs`.
struct Step {
  std::string send;
  json await = nullptr;
  int sleepMs = 150;
};

struct Case {
  const char* name;
  json scenario;
  std::vector<Step> steps;
  Events expected;
  int status;
};

json engines(std::vector<json> list) { return {{"engines", list}}; }

TEST(SlowServer, CommandsAndSignalsAreServedWhileTheServerIsSlow) {
  const json slow = {{"delayMs", 2500}};
  const Step prepare{"prepare", kPrepared};
  const std::vector<Step> pauseWaitResume = {prepare,
                                             {"start"},
                                             {"pause", stateEvent("paused"), 0},
                                             {"", nullptr, 900},
                                             {"resume", stateEvent("recording"), 0},
                                             {"stop"}};
  const Events pausedAndBack = {kPrepared, stateEvent("paused"), stateEvent("recording"), kEnded};
  const std::vector<Case> cases = {
      {"stop while the microphone is looked for",
       {{"microphoneQuery", slow}},
       {{"prepare"}, {"stop"}},
       {kEnded},
       0},
      {"signal while the input format is asked for",
       engines({{{"formatQuery", slow}}}),
       {prepare, {"start"}, {"TERM"}},
       {kPrepared, kEnded},
       0},
      {"stop while the engine start hangs",
       engines({{{"start", "never"}}}),
       {prepare, {"start"}, {"stop"}},
       {kPrepared, kEnded},
       0},
      {"a refused command while the engine start hangs",
       engines({{{"start", "never"}}}),
       {prepare, {"start"}, {"prepare"}},
       {kPrepared, errorEvent("INVALID_STATE"), kEnded},
       1},
      {"pause while the engine start hangs",
       engines({{{"start", "never"}}}),
       {prepare, {"start"}, {"pause", stateEvent("paused"), 0}, {"stop"}},
       {kPrepared, stateEvent("paused"), kEnded},
       0},
      // An input that fails while its start is being answered stays failed.
      {"microphone lost before the engine start answers",
       engines({{{"start", {{"delayMs", 800}}}, {"configurationChangeAfterMs", 100}}}),
       {prepare, {"start", nullptr, 1200}, {"stop"}},
       {kPrepared, errorEvent("MICROPHONE_UNAVAILABLE"), kEnded},
       1},
      // The first run's answers arrive while paused, and must not end or
      // disturb the run that follows.
      {"late input format after a pause", engines({{{"formatQuery", {{"delayMs", 600}}}}, json::object()}),
       pauseWaitResume, pausedAndBack, 0},
      {"late engine start after a pause", engines({{{"start", {{"delayMs", 600}}}}, json::object()}),
       pauseWaitResume, pausedAndBack, 0},
      // Here it arrives while the next run waits for its own input format.
      {"late engine start during the next start",
       engines({{{"start", {{"delayMs", 600}}}}, {{"formatQuery", {{"delayMs", 800}}}}}),
       {prepare,
        {"start"},
        {"pause", stateEvent("paused"), 0},
        {"resume", stateEvent("recording"), 0},
        {"stop"}},
       {kPrepared, stateEvent("paused"), stateEvent("recording"), kEnded},
       0},
      // A pause and resume while the stream starts: the microphone comes
      // back after the stream's start, and slowly.
      {"stop while the microphone comes back",
       {{"streams", {{{"start", {{"delayMs", 300}}}}}},
        {"engines", {json::object(), {{"formatQuery", slow}}}}},
       {prepare, {"start", nullptr, 50}, {"pause", nullptr, 0}, {"resume", nullptr, 600}, {"stop"}},
       {kPrepared, kEnded},
       0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto child = startSim(c.scenario);
    Events seen;
    Clock::time_point lastSent;
    for (const auto& step : c.steps) {
      lastSent = Clock::now();
      if (step.send == "TERM") {
        child->signal(SIGTERM);
      } else if (!step.send.empty()) {
        child->send(step.send);
      }
      if (step.await.is_null()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(step.sleepMs));
        continue;
      }
      while (auto line = child->nextControl(10s)) {
        seen.push_back(json::parse(*line));
        if (seen.back() == step.await) break;
      }
    }
    const RunResult rest = collect(*child, 10s);
    // Well before the 2.5 s the slow answers take, and hung ones never come.
    EXPECT_LT(Clock::now() - lastSent, 1500ms);
    seen.insert(seen.end(), rest.control.begin(), rest.control.end());
    EXPECT_EQ(seen, c.expected);
    EXPECT_EQ(rest.status, c.status);
    EXPECT_EQ(rest.stderrText, "");
  }
}

// A sound server that takes connections and never says a word.
class SilentServer {
 public:
  SilentServer() {
    char dir[] = "/tmp/zt-silent-XXXXXX";
    dir_ = mkdtemp(dir);
    path_ = dir_ + "/native";
    fd_ = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path_.copy(address.sun_path, sizeof(address.sun_path) - 1);
    ready_ = bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 && listen(fd_, 16) == 0;
  }
  ~SilentServer() {
    close(fd_);
    unlink(path_.c_str());
    rmdir(dir_.c_str());
  }
  bool ready() const { return ready_; }
  std::string address() const { return "unix:" + path_; }

 private:
  std::string dir_;
  std::string path_;
  int fd_ = -1;
  bool ready_ = false;
};

// The real backend: its questions give up after their bounds, and a "stop"
// meanwhile is served at once.
TEST(SlowServer, SilentSoundServer) {
  SilentServer server;
  ASSERT_TRUE(server.ready());
  for (const bool stop : {true, false}) {
    SCOPED_TRACE(stop ? "stopped" : "left to fail");
    ChildOptions options;
    options.env["PULSE_SERVER"] = server.address();
    Child child(ZT_HELPER_PATH, options);
    const auto begin = Clock::now();
    child.send("prepare");
    if (stop) {
      std::this_thread::sleep_for(300ms);
      child.send("stop");
    }
    const RunResult r = collect(child, 20s);
    const auto took = Clock::now() - begin;
    if (stop) {
      EXPECT_EQ(r.control, Events{kEnded});
      EXPECT_LT(took, 1500ms);
    } else {
      // Two questions of two seconds each: the microphone, then the output.
      EXPECT_EQ(r.control, (Events{errorEvent("SYSTEM_AUDIO_UNAVAILABLE"), kEnded}));
      EXPECT_LT(took, 8s);
    }
    EXPECT_EQ(r.status, stop ? 0 : 1);
    EXPECT_EQ(r.stderrText, "");
  }
}

}  // namespace
}  // namespace zt::test
