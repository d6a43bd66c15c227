// Whole recordings on the scripted platform: start, pause, resume and stop
// in every order, with audio of both sources, and every way a run can fail.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <fstream>
#include <thread>

#include "support/audio_events.h"
#include "support/helper_run.h"

namespace zt::test {
namespace {

using namespace std::chrono_literals;

constexpr double kSystemTone = 1000;
constexpr double kMicrophoneTone = 440;

// Both sources play a known tone: system 48 kHz stereo float in 10 ms
// buffers, microphone 48 kHz mono float from the 1024-frame tap.
json playing(json stream = json::object(), json engine = json::object(), json converter = json::object()) {
  stream["audio"] = {{"format", {{"type", "float32"}, {"rate", 48000}, {"channels", 2}}},
                     {"frames", 480},
                     {"frequency", kSystemTone}};
  engine["audio"] = {{"frequency", kMicrophoneTone}};
  if (!engine.contains("inputFormat"))
    engine["inputFormat"] = {{"type", "float32"}, {"rate", 48000}, {"channels", 1}};
  json scenario = {{"streams", {stream}}, {"engines", {engine}}};
  if (!converter.empty()) scenario["converter"] = converter;
  return scenario;
}

// A host talking to one helper: every line it reads, in order.
class Host {
 public:
  explicit Host(const json& scenario) : child_(startSim(scenario)) {}

  void send(const std::string& word) { child_->send(word); }
  // Reads until `event` arrives (true) or the deadline passes.
  bool await(const json& event, std::chrono::milliseconds timeout = 15s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      auto line = child_->out().next(left);
      if (!line) return false;
      lines_.push_back(*line);
      if (!isAudioLine(*line) && json::parse(*line, nullptr, false) == event) return true;
    }
  }
  // Reads for a while, keeping everything.
  void listen(std::chrono::milliseconds duration) {
    const auto deadline = std::chrono::steady_clock::now() + duration;
    for (;;) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return;
      auto line = child_->out().next(left);
      if (!line) return;
      lines_.push_back(*line);
    }
  }
  // Prepares and starts; true once "recording" arrived.
  bool startRecording() {
    send("prepare");
    if (!await(kPrepared)) return false;
    send("start");
    return await(stateEvent("recording"));
  }
  RunResult finish(std::chrono::milliseconds timeout = 30s) {
    child_->closeStdin();
    RunResult rest = collect(*child_, timeout);
    RunResult all;
    all.lines = lines_;
    all.lines.insert(all.lines.end(), rest.lines.begin(), rest.lines.end());
    for (const auto& line : all.lines)
      if (!isAudioLine(line)) all.control.push_back(json::parse(line, nullptr, false));
    all.status = rest.status;
    all.stderrText = rest.stderrText;
    return all;
  }
  Child& child() { return *child_; }

 private:
  std::unique_ptr<Child> child_;
  std::vector<std::string> lines_;
};

void expectContinuousTone(const std::vector<int16_t>& samples, double frequency, const char* what) {
  SCOPED_TRACE(what);
  ASSERT_GT(samples.size(), 1600u);
  const SineFit fit = fitSine(samples, frequency);
  // 0.5 of full scale from the scripted source.
  EXPECT_NEAR(fit.amplitude, 0.5, 0.01);
  // 16-bit quantization alone is far below this; a gap, repeat or click of
  // even one block is far above it.
  EXPECT_LT(fit.worstWindowResidual, 0.003);
}

TEST(Lifecycle, FullRecordingWithPauseAndResume) {
  Host host(playing());
  ASSERT_TRUE(host.startRecording());
  host.listen(2s);
  host.send("pause");
  ASSERT_TRUE(host.await(stateEvent("paused")));
  host.listen(300ms);
  host.send("resume");
  ASSERT_TRUE(host.await(stateEvent("recording")));
  host.listen(1s);
  host.send("stop");
  const RunResult r = host.finish();
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.stderrText, "");
  EXPECT_EQ(r.control, (Events{kPrepared, stateEvent("recording"), stateEvent("paused"),
                               stateEvent("recording"), stateEvent("ended")}));
  expectWellFormedLines(r);

  const Runs runs = splitRuns(r.lines);
  EXPECT_EQ(runs.audioOutsideRuns, 0);
  EXPECT_EQ(runs.malformedAudio, 0);
  ASSERT_EQ(runs.runs.size(), 2u);
  const double seconds[] = {2.0, 1.0};
  for (size_t i = 0; i < 2; ++i) {
    SCOPED_TRACE(i);
    const auto& run = runs.runs[i];
    ASSERT_TRUE(run.count("system") && run.count("microphone"));
    expectContinuousTone(run.at("system"), kSystemTone, "system");
    expectContinuousTone(run.at("microphone"), kMicrophoneTone, "microphone");
    // Real-time pacing: about as many samples as the run lasted, tail
    // included.
    for (const char* source : {"system", "microphone"})
      EXPECT_NEAR(run.at(source).size() / 16000.0, seconds[i], 0.35) << source;
  }
}

// The tails of both sources come out before "ended", the system's first:
// the microphone's tail is the last audio.
TEST(Lifecycle, TailsComeBeforeEnded) {
  Host host(playing());
  ASSERT_TRUE(host.startRecording());
  host.listen(300ms);
  host.send("stop");
  const RunResult r = host.finish();
  ASSERT_EQ(r.status, 0);
  ASSERT_EQ(r.lines.back(), stateEvent("ended").dump());
  const auto last = parseAudioEvent(r.lines[r.lines.size() - 2]);
  ASSERT_TRUE(last);
  EXPECT_EQ(last->source, "microphone");
}

struct FailureCase {
  const char* name;
  json scenario;
  std::vector<std::string> before;  // commands after "prepared", each awaited loosely
  Events expected;                  // after "prepared"
  int status;
};

// Runs "prepare", then the commands with short pauses, and reads to the end.
RunResult runCase(const FailureCase& c) {
  Host host(c.scenario);
  host.send("prepare");
  EXPECT_TRUE(host.await(kPrepared));
  for (const auto& word : c.before) {
    if (word.rfind("wait", 0) == 0) {
      host.listen(std::chrono::milliseconds(std::stoi(word.substr(4))));
      continue;
    }
    host.send(word);
  }
  RunResult r = host.finish();
  r.control.erase(r.control.begin());
  return r;
}

void expectOutcomes(const std::vector<FailureCase>& cases) {
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const RunResult r = runCase(c);
    EXPECT_EQ(r.control, c.expected);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.stderrText, "");
    // No audio after a failure: not even the tails.
    bool failed = false;
    for (const auto& line : r.lines) {
      if (line.find("\"event\":\"error\"") != std::string::npos) failed = true;
      if (failed) EXPECT_FALSE(isAudioLine(line));
    }
  }
}

TEST(Lifecycle, StartFailures) {
  const json declined = {{"error", {{"domain", "SCStreamErrorDomain"}, {"code", -3801}}}};
  const json otherDomain = {{"error", {{"domain", "OtherDomain"}, {"code", -3801}}}};
  auto withEngine = [](json engine) { return json{{"engines", {engine}}}; };
  auto format = [](double rate, int channels) {
    return json{{"inputFormat", {{"type", "float32"}, {"rate", rate}, {"channels", channels}}}};
  };
  const Events startedThenStopped = {stateEvent("recording"), stateEvent("ended")};
  auto refusedAtStart = [](const char* name, json scenario, const char* code) {
    return FailureCase{name, std::move(scenario), {"start"}, {errorEvent(code), stateEvent("ended")}, 1};
  };
  const std::vector<FailureCase> cases = {
      refusedAtStart("0 channels", withEngine(format(48000, 0)), "MICROPHONE_UNAVAILABLE"),
      refusedAtStart("9 channels", withEngine(format(48000, 9)), "MICROPHONE_UNAVAILABLE"),
      refusedAtStart("7999 Hz", withEngine(format(7999, 1)), "MICROPHONE_UNAVAILABLE"),
      refusedAtStart("192001 Hz", withEngine(format(192001, 1)), "MICROPHONE_UNAVAILABLE"),
      {"1 channel at 8000 Hz",
       withEngine(format(8000, 1)),
       {"start", "wait300", "stop"},
       startedThenStopped,
       0},
      {"8 channels at 192000 Hz",
       withEngine(format(192000, 8)),
       {"start", "wait300", "stop"},
       startedThenStopped,
       0},
      refusedAtStart("engine does not start", withEngine({{"startFails", true}}), "MICROPHONE_UNAVAILABLE"),
      refusedAtStart("audio output refused", {{"streams", {{{"addOutputFails", true}}}}},
                     "SYSTEM_AUDIO_UNAVAILABLE"),
      refusedAtStart("screen permission withdrawn", {{"screenPreflight", {true, false}}},
                     "SCREEN_PERMISSION_DENIED"),
      refusedAtStart("microphone permission withdrawn", {{"microphoneStatus", {3, 2}}},
                     "MICROPHONE_PERMISSION_DENIED"),
      refusedAtStart("both withdrawn: screen first",
                     {{"screenPreflight", {true, false}}, {"microphoneStatus", {3, 2}}},
                     "SCREEN_PERMISSION_DENIED"),
      {"withdrawn before resume",
       {{"screenPreflight", {true, true, false}}},
       {"start", "wait300", "pause", "wait300", "resume"},
       {stateEvent("recording"), stateEvent("paused"), errorEvent("SCREEN_PERMISSION_DENIED"),
        stateEvent("ended")},
       1},
      refusedAtStart("declined at stream start", {{"streams", {{{"start", declined}}}}},
                     "SCREEN_PERMISSION_DENIED"),
      refusedAtStart("-3801 in another domain", {{"streams", {{{"start", otherDomain}}}}},
                     "CAPTURE_START_FAILED"),
  };
  expectOutcomes(cases);
}

TEST(Lifecycle, CommandOrders) {
  const json slowStart = {{"streams", {{{"start", {{"delayMs", 400}}}}}}};
  const json slowStop = {{"streams", {{{"stop", {{"delayMs", 400}}}}}}};
  const std::vector<FailureCase> cases = {
      {"stop while the stream starts", slowStart, {"start", "wait50", "stop"}, {stateEvent("ended")}, 0},
      {"pause while the stream starts",
       slowStart,
       {"start", "wait50", "pause", "wait700", "stop"},
       {stateEvent("paused"), stateEvent("ended")},
       0},
      {"pause, resume before paused",
       slowStop,
       {"start", "wait200", "pause", "wait50", "resume", "wait900", "stop"},
       {stateEvent("recording"), stateEvent("paused"), stateEvent("recording"), stateEvent("ended")},
       0},
      {"pause, resume, pause while stopping",
       slowStop,
       {"start", "wait200", "pause", "wait50", "resume", "wait50", "pause", "wait900", "stop"},
       {stateEvent("recording"), stateEvent("paused"), stateEvent("ended")},
       0},
      {"pause while paused",
       json::object(),
       {"start", "wait200", "pause", "wait200", "pause", "wait200", "stop"},
       {stateEvent("recording"), stateEvent("paused"), stateEvent("paused"), stateEvent("ended")},
       0},
      {"stop during a pause's stop",
       slowStop,
       {"start", "wait200", "pause", "wait50", "stop", "stop"},
       {stateEvent("recording"), stateEvent("ended")},
       0},
      {"resume while recording",
       json::object(),
       {"start", "wait200", "resume"},
       {stateEvent("recording"), errorEvent("INVALID_STATE"), stateEvent("ended")},
       1},
      {"start twice",
       json::object(),
       {"start", "wait200", "start"},
       {stateEvent("recording"), errorEvent("INVALID_STATE"), stateEvent("ended")},
       1},
      {"commands after an error are ignored",
       json::object(),
       {"start", "wait200", "start", "pause", "resume", "prepare"},
       {stateEvent("recording"), errorEvent("INVALID_STATE"), stateEvent("ended")},
       1},
  };
  expectOutcomes(cases);
}

TEST(Lifecycle, FailuresWhileRunning) {
  const std::vector<FailureCase> cases = {
      {"configuration change while recording",
       playing({}, {{"configurationChangeAfterMs", 300}}),
       {"start", "wait1500"},
       {stateEvent("recording"), errorEvent("MICROPHONE_UNAVAILABLE"), stateEvent("ended")},
       1},
      // An input that failed stays failed: no "recording" without it.
      {"configuration change during the start",
       playing({{"start", {{"delayMs", 500}}}}, {{"configurationChangeAfterMs", 100}}),
       {"start", "wait900", "stop"},
       {errorEvent("MICROPHONE_UNAVAILABLE"), stateEvent("ended")},
       1},
      {"stream stops during a pause and resume while starting",
       playing({{"start", {{"delayMs", 500}}}, {"stopsByItselfAfterMs", 200}}),
       {"start", "wait50", "pause", "resume", "wait900"},
       {errorEvent("SYSTEM_AUDIO_UNAVAILABLE"), stateEvent("ended")},
       1},
      {"stream stops by itself",
       playing({{"stopsByItselfAfterMs", 300}}),
       {"start", "wait1500"},
       {stateEvent("recording"), errorEvent("SYSTEM_AUDIO_UNAVAILABLE"), stateEvent("ended")},
       1},
      {"failed tail flush",
       playing({}, {}, {{"failTail", true}}),
       {"start", "wait300", "stop"},
       {stateEvent("recording"), errorEvent("AUDIO_CONVERSION_FAILED"), stateEvent("ended")},
       1},
      {"failed tail flush on pause",
       playing({}, {}, {{"failTail", true}}),
       {"start", "wait300", "pause"},
       {stateEvent("recording"), errorEvent("AUDIO_CONVERSION_FAILED"), stateEvent("ended")},
       1},
      {"conversion fails",
       playing({}, {}, {{"failConvertAfter", 5}}),
       {"start", "wait500"},
       {stateEvent("recording"), errorEvent("AUDIO_CONVERSION_FAILED"), stateEvent("ended")},
       1},
      {"stalled conversions",
       playing({}, {}, {{"stallMs", 60}}),
       {"start", "wait1500"},
       {stateEvent("recording"), errorEvent("AUDIO_BACKPRESSURE"), stateEvent("ended")},
       1},
      {"stop fails",
       {{"streams", {{{"stop", "error"}}}}},
       {"start", "wait200", "stop"},
       {stateEvent("recording"), errorEvent("CAPTURE_STOP_FAILED")},
       1},
  };
  expectOutcomes(cases);
}

// The deadline: a stream start or stop that never answers.
TEST(Lifecycle, Deadlines) {
  const std::vector<FailureCase> cases = {
      {"start never completes",
       {{"streams", {{{"start", "never"}}}}},
       {"start"},
       {errorEvent("CAPTURE_TIMEOUT")},
       1},
      {"stop never completes",
       {{"streams", {{{"stop", "never"}}}}},
       {"start", "wait200", "stop"},
       {stateEvent("recording"), errorEvent("CAPTURE_TIMEOUT")},
       1},
      {"stop never completes after an error",
       {{"streams", {{{"stop", "never"}, {"stopsByItselfAfterMs", 200}}}}},
       {"start", "wait1200"},
       {stateEvent("recording"), errorEvent("SYSTEM_AUDIO_UNAVAILABLE"), errorEvent("CAPTURE_TIMEOUT")},
       1},
  };
  std::vector<std::thread> threads;
  std::vector<RunResult> results(cases.size());
  // Each waits ten seconds; run them side by side.
  for (size_t i = 0; i < cases.size(); ++i) threads.emplace_back([&, i] { results[i] = runCase(cases[i]); });
  for (auto& t : threads) t.join();
  for (size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].name);
    EXPECT_EQ(results[i].control, cases[i].expected);
    EXPECT_EQ(results[i].status, cases[i].status);
  }
}

// A "pause" then "resume" while the stream starts stops the microphone; the
// run that follows must bring it back rather than record the system alone.
TEST(Lifecycle, PauseAndResumeWhileStartingKeepsTheMicrophone) {
  Host host(playing({{"start", {{"delayMs", 400}}}}));
  host.send("prepare");
  ASSERT_TRUE(host.await(kPrepared));
  host.send("start");
  host.listen(50ms);
  host.send("pause");
  host.send("resume");
  ASSERT_TRUE(host.await(stateEvent("recording")));
  host.listen(800ms);
  host.send("stop");
  const RunResult r = host.finish();
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.control, (Events{kPrepared, stateEvent("recording"), stateEvent("ended")}));
  const Runs runs = splitRuns(r.lines);
  ASSERT_EQ(runs.runs.size(), 1u);
  ASSERT_TRUE(runs.runs[0].count("microphone"));
  expectContinuousTone(runs.runs[0].at("microphone"), kMicrophoneTone, "microphone");
  expectContinuousTone(runs.runs[0].at("system"), kSystemTone, "system");
}

TEST(Lifecycle, PauseAndResumeWhileStartingWithoutAMicrophoneFails) {
  // The second engine (the one brought back) does not start.
  json scenario = playing({{"start", {{"delayMs", 400}}}});
  scenario["engines"] = {scenario["engines"][0], {{"startFails", true}}};
  const RunResult r = runCase({"",
                               scenario,
                               {"start", "wait50", "pause", "resume", "wait900"},
                               {errorEvent("MICROPHONE_UNAVAILABLE"), stateEvent("ended")},
                               1});
  EXPECT_EQ(r.control, (Events{errorEvent("MICROPHONE_UNAVAILABLE"), stateEvent("ended")}));
  EXPECT_EQ(r.status, 1);
}

// A host that stops reading: the queue stays bounded, the overflow ends the
// session, and the host that reads again sees why.
TEST(Lifecycle, HostThatStopsReading) {
  // Faster than real time, in buffers large enough that conversion keeps up
  // on a busy machine: only the output can fall behind.
  json scenario = playing();
  scenario["streams"][0]["audio"]["speed"] = 10;
  scenario["streams"][0]["audio"]["frames"] = 4800;
  scenario["engines"][0]["audio"]["speed"] = 3;
  Host host(scenario);
  ASSERT_TRUE(host.startRecording());
  // Stop reading: the pipe fills, then the 512 KiB queue overflows, about a
  // second in; the exit's grace period leaves time to read again.
  long peakKiB = 0;
  const auto start = std::chrono::steady_clock::now();
  while (std::chrono::steady_clock::now() - start < 2500ms) {
    std::ifstream statusFile("/proc/" + std::to_string(host.child().pid()) + "/status");
    std::string key;
    long value;
    while (statusFile >> key)
      if (key == "VmRSS:" && statusFile >> value) peakKiB = std::max(peakKiB, value);
    std::this_thread::sleep_for(20ms);
  }
  EXPECT_GT(peakKiB, 0);
  // The queue bound is 512 KiB; the whole process stays small.
  EXPECT_LT(peakKiB, 64 * 1024);
  const RunResult r = host.finish(10s);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.control, (Events{kPrepared, stateEvent("recording"), errorEvent("OUTPUT_BACKPRESSURE"),
                               stateEvent("ended")}));
  expectWellFormedLines(r);
  EXPECT_EQ(r.stderrText, "");
}

int countEntries(const std::string& dir) {
  int n = 0;
  if (DIR* d = opendir(dir.c_str())) {
    while (readdir(d)) ++n;
    closedir(d);
  }
  return n;
}

TEST(Lifecycle, ManyPauseResumeCyclesDoNotGrow) {
  Host host(playing());
  ASSERT_TRUE(host.startRecording());
  const std::string proc = "/proc/" + std::to_string(host.child().pid());
  int threadsAfter10 = 0, fdsAfter10 = 0;
  int mostThreads = 0;
  for (int cycle = 0; cycle < 200; ++cycle) {
    host.send("pause");
    ASSERT_TRUE(host.await(stateEvent("paused"))) << cycle;
    host.send("resume");
    ASSERT_TRUE(host.await(stateEvent("recording"))) << cycle;
    if (cycle == 10) {
      threadsAfter10 = countEntries(proc + "/task");
      fdsAfter10 = countEntries(proc + "/fd");
    }
    mostThreads = std::max(mostThreads, countEntries(proc + "/task"));
  }
  // libdispatch grows and shrinks its worker pool with the load, so the
  // count moves; a thread kept per cycle would pass 200.
  EXPECT_LT(mostThreads, 64) << "after 10 cycles: " << threadsAfter10;
  EXPECT_EQ(countEntries(proc + "/fd"), fdsAfter10);
  host.send("stop");
  const RunResult r = host.finish();
  // Sanitizer builds end with another status when memory leaked.
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.stderrText, "");
}

}  // namespace
}  // namespace zt::test
