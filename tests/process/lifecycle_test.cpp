// Whole recordings on the scripted platform: start, pause, resume and stop
// in every order, with audio of both sources, and every way a run can fail.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <thread>

#include "support/audio_events.h"
#include "support/helper_run.h"

namespace zt::test {
namespace {

using namespace std::chrono_literals;

constexpr double kSystemTone = 1000;
constexpr double kMicrophoneTone = 440;
const json kRecording = stateEvent("recording");
const json kPaused = stateEvent("paused");

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
  // Reads, keeping every line, until `event` arrives (true) or the time is up.
  bool await(const json& event, std::chrono::milliseconds timeout = 15s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (auto now = std::chrono::steady_clock::now(); now < deadline;
         now = std::chrono::steady_clock::now()) {
      auto line = child_->out().next(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now));
      if (!line) return false;
      lines_.push_back(*line);
      if (!event.is_null() && !isAudioLine(*line) && json::parse(*line, nullptr, false) == event) return true;
    }
    return false;
  }
  void listen(std::chrono::milliseconds duration) { await(json(), duration); }
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
  ASSERT_TRUE(host.await(kPaused));
  host.listen(300ms);
  host.send("resume");
  ASSERT_TRUE(host.await(kRecording));
  host.listen(1s);
  host.send("stop");
  const RunResult r = host.finish();
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.stderrText, "");
  EXPECT_EQ(r.control, (Events{kPrepared, kRecording, kPaused, kRecording, kEnded}));
  expectWellFormedLines(r);
  // Both tails come before "ended", the system's first.
  const auto last = parseAudioEvent(r.lines[r.lines.size() - 2]);
  ASSERT_TRUE(last);
  EXPECT_EQ(last->source, "microphone");

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

// Runs "prepare", then a script of commands and waits ("start wait300
// stop"), and reads to the end. The events expected come after "prepared";
// the status is 1 exactly when there is an error among them, and no audio
// may follow an error, not even the tails.
struct FailureCase {
  const char* name;
  json scenario;
  const char* script;
  Events expected;
};

RunResult runCase(const FailureCase& c) {
  Host host(c.scenario);
  host.send("prepare");
  EXPECT_TRUE(host.await(kPrepared));
  std::istringstream script(c.script);
  for (std::string word; script >> word;) {
    if (word.rfind("wait", 0) == 0)
      host.listen(std::chrono::milliseconds(std::stoi(word.substr(4))));
    else
      host.send(word);
  }
  RunResult r = host.finish();
  r.control.erase(r.control.begin());
  return r;
}

void expectOutcome(const FailureCase& c, const RunResult& r) {
  SCOPED_TRACE(c.name);
  EXPECT_EQ(r.control, c.expected);
  const bool failed = std::any_of(c.expected.begin(), c.expected.end(),
                                  [](const json& e) { return e.value("event", "") == "error"; });
  EXPECT_EQ(r.status, failed ? 1 : 0);
  EXPECT_EQ(r.stderrText, "");
  const auto error = std::find_if(r.lines.begin(), r.lines.end(), [](const std::string& l) {
    return l.find("\"event\":\"error\"") != l.npos;
  });
  EXPECT_TRUE(std::none_of(error, r.lines.end(), isAudioLine)) << "audio after the error";
}

void expectOutcomes(const std::vector<FailureCase>& cases) {
  for (const auto& c : cases) expectOutcome(c, runCase(c));
}

json withEngine(json engine) { return {{"engines", {engine}}}; }
json withStream(json stream) { return {{"streams", {stream}}}; }
json microphoneFormat(double rate, int channels) {
  return withEngine({{"inputFormat", {{"type", "float32"}, {"rate", rate}, {"channels", channels}}}});
}

TEST(Lifecycle, StartFailures) {
  const json declined = {{"error", {{"domain", "SCStreamErrorDomain"}, {"code", -3801}}}};
  const json otherDomain = {{"error", {{"domain", "OtherDomain"}, {"code", -3801}}}};
  const Events noMicrophone = {errorEvent("MICROPHONE_UNAVAILABLE"), kEnded};
  const Events noScreen = {errorEvent("SCREEN_PERMISSION_DENIED"), kEnded};
  expectOutcomes({
      {"0 channels", microphoneFormat(48000, 0), "start", noMicrophone},
      {"9 channels", microphoneFormat(48000, 9), "start", noMicrophone},
      {"7999 Hz", microphoneFormat(7999, 1), "start", noMicrophone},
      {"192001 Hz", microphoneFormat(192001, 1), "start", noMicrophone},
      {"1 channel at 8000 Hz", microphoneFormat(8000, 1), "start wait300 stop", {kRecording, kEnded}},
      {"8 channels at 192000 Hz", microphoneFormat(192000, 8), "start wait300 stop", {kRecording, kEnded}},
      {"engine does not start", withEngine({{"startFails", true}}), "start", noMicrophone},
      {"audio output refused",
       withStream({{"addOutputFails", true}}),
       "start",
       {errorEvent("SYSTEM_AUDIO_UNAVAILABLE"), kEnded}},
      {"screen permission withdrawn", {{"screenPreflight", {true, false}}}, "start", noScreen},
      {"microphone permission withdrawn",
       {{"microphoneStatus", {3, 2}}},
       "start",
       {errorEvent("MICROPHONE_PERMISSION_DENIED"), kEnded}},
      {"both withdrawn: screen first",
       {{"screenPreflight", {true, false}}, {"microphoneStatus", {3, 2}}},
       "start",
       noScreen},
      {"withdrawn before resume",
       {{"screenPreflight", {true, true, false}}},
       "start wait300 pause wait300 resume",
       {kRecording, kPaused, errorEvent("SCREEN_PERMISSION_DENIED"), kEnded}},
      {"declined at stream start", withStream({{"start", declined}}), "start", noScreen},
      {"-3801 in another domain",
       withStream({{"start", otherDomain}}),
       "start",
       {errorEvent("CAPTURE_START_FAILED"), kEnded}},
  });
}

TEST(Lifecycle, CommandOrders) {
  const json slowStart = withStream({{"start", {{"delayMs", 400}}}});
  const json slowStop = withStream({{"stop", {{"delayMs", 400}}}});
  const Events invalid = {kRecording, errorEvent("INVALID_STATE"), kEnded};
  expectOutcomes({
      {"stop while the stream starts", slowStart, "start wait50 stop", {kEnded}},
      {"pause while the stream starts", slowStart, "start wait50 pause wait700 stop", {kPaused, kEnded}},
      {"pause, resume before paused",
       slowStop,
       "start wait200 pause wait50 resume wait900 stop",
       {kRecording, kPaused, kRecording, kEnded}},
      {"pause, resume, pause while stopping",
       slowStop,
       "start wait200 pause wait50 resume wait50 pause wait900 stop",
       {kRecording, kPaused, kEnded}},
      {"pause while paused",
       json::object(),
       "start wait200 pause wait200 pause wait200 stop",
       {kRecording, kPaused, kPaused, kEnded}},
      {"stop during a pause's stop", slowStop, "start wait200 pause wait50 stop stop", {kRecording, kEnded}},
      {"resume while recording", json::object(), "start wait200 resume", invalid},
      {"start twice", json::object(), "start wait200 start", invalid},
      {"commands after an error are ignored", json::object(), "start wait200 start pause resume prepare",
       invalid},
  });
}

TEST(Lifecycle, FailuresWhileRunning) {
  // Conversions that take 40 ms each, for 100 ms system buffers and 128 ms
  // microphone taps (1024 frames at 8 kHz): busy most of the time, without
  // falling behind, so that one is under way when the stop fails.
  json busy = playing({{"stop", "error"}}, microphoneFormat(8000, 1)["engines"][0], {{"stallMs", 40}});
  busy["streams"][0]["audio"]["frames"] = 4800;
  // A "pause" then "resume" while the stream starts brings the microphone
  // back; here the second engine does not start.
  json noSecondEngine = playing({{"start", {{"delayMs", 400}}}});
  noSecondEngine["engines"].push_back(json{{"startFails", true}});
  auto failed = [](const char* code) { return Events{kRecording, errorEvent(code), kEnded}; };
  expectOutcomes({
      {"configuration change while recording", playing({}, {{"configurationChangeAfterMs", 300}}),
       "start wait1500", failed("MICROPHONE_UNAVAILABLE")},
      // An input that failed stays failed: no "recording" without it.
      {"configuration change during the start",
       playing({{"start", {{"delayMs", 500}}}}, {{"configurationChangeAfterMs", 100}}),
       "start wait900 stop",
       {errorEvent("MICROPHONE_UNAVAILABLE"), kEnded}},
      {"stream stops during a pause and resume while starting",
       playing({{"start", {{"delayMs", 500}}}, {"stopsByItselfAfterMs", 200}}),
       "start wait50 pause resume wait900",
       {errorEvent("SYSTEM_AUDIO_UNAVAILABLE"), kEnded}},
      {"stream stops by itself", playing({{"stopsByItselfAfterMs", 300}}), "start wait1500",
       failed("SYSTEM_AUDIO_UNAVAILABLE")},
      {"failed tail flush", playing({}, {}, {{"failTail", true}}), "start wait300 stop",
       failed("AUDIO_CONVERSION_FAILED")},
      {"failed tail flush on pause", playing({}, {}, {{"failTail", true}}), "start wait300 pause",
       failed("AUDIO_CONVERSION_FAILED")},
      {"conversion fails", playing({}, {}, {{"failConvertAfter", 5}}), "start wait500",
       failed("AUDIO_CONVERSION_FAILED")},
      {"stalled conversions", playing({}, {}, {{"stallMs", 60}}), "start wait1500",
       failed("AUDIO_BACKPRESSURE")},
      {"stop fails",
       withStream({{"stop", "error"}}),
       "start wait200 stop",
       {kRecording, errorEvent("CAPTURE_STOP_FAILED")}},
      {"stop fails while audio converts",
       busy,
       "start wait500 stop",
       {kRecording, errorEvent("CAPTURE_STOP_FAILED")}},
      {"microphone not brought back",
       noSecondEngine,
       "start wait50 pause resume wait900",
       {errorEvent("MICROPHONE_UNAVAILABLE"), kEnded}},
  });
}

// The deadline covers only a stream start or stop that never answers: a
// recording, a pause and a permission prompt that each outlast it end
// cleanly.
TEST(Lifecycle, Deadlines) {
  const std::vector<FailureCase> cases = {
      {"start never completes", withStream({{"start", "never"}}), "start", {errorEvent("CAPTURE_TIMEOUT")}},
      {"stop never completes",
       withStream({{"stop", "never"}}),
       "start wait200 stop",
       {kRecording, errorEvent("CAPTURE_TIMEOUT")}},
      {"stop never completes after an error",
       withStream({{"stop", "never"}, {"stopsByItselfAfterMs", 200}}),
       "start wait1200",
       {kRecording, errorEvent("SYSTEM_AUDIO_UNAVAILABLE"), errorEvent("CAPTURE_TIMEOUT")}},
      {"recording and pause longer than the deadline",
       json::object(),
       "start wait10500 pause wait10500 stop",
       {kRecording, kPaused, kEnded}},
      {"prompt answered after longer than the deadline",
       {{"microphoneStatus", 0}, {"microphoneRequest", {{"result", "ok"}, {"delayMs", 10500}}}},
       "stop",
       {kEnded}},
  };
  // Each waits ten seconds; run them side by side.
  std::vector<RunResult> results(cases.size());
  std::vector<std::thread> threads;
  for (size_t i = 0; i < cases.size(); ++i) threads.emplace_back([&, i] { results[i] = runCase(cases[i]); });
  for (auto& t : threads) t.join();
  for (size_t i = 0; i < cases.size(); ++i) expectOutcome(cases[i], results[i]);
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
  ASSERT_TRUE(host.await(kRecording));
  host.listen(800ms);
  host.send("stop");
  const RunResult r = host.finish();
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.control, (Events{kPrepared, kRecording, kEnded}));
  const Runs runs = splitRuns(r.lines);
  ASSERT_EQ(runs.runs.size(), 1u);
  ASSERT_TRUE(runs.runs[0].count("microphone"));
  expectContinuousTone(runs.runs[0].at("microphone"), kMicrophoneTone, "microphone");
  expectContinuousTone(runs.runs[0].at("system"), kSystemTone, "system");
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
  EXPECT_EQ(r.control, (Events{kPrepared, kRecording, errorEvent("OUTPUT_BACKPRESSURE"), kEnded}));
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
  int fdsAfter10 = 0, mostThreads = 0;
  for (int cycle = 0; cycle < 200; ++cycle) {
    host.send("pause");
    ASSERT_TRUE(host.await(kPaused)) << cycle;
    host.send("resume");
    ASSERT_TRUE(host.await(kRecording)) << cycle;
    if (cycle == 10) fdsAfter10 = countEntries(proc + "/fd");
    mostThreads = std::max(mostThreads, countEntries(proc + "/task"));
  }
  // libdispatch grows and shrinks its worker pool with the load (past 100
  // threads on a busy machine), so the count moves; a thread kept per cycle
  // would pass 200.
  EXPECT_LT(mostThreads, 190);
  EXPECT_EQ(countEntries(proc + "/fd"), fdsAfter10);
  host.send("stop");
  const RunResult r = host.finish();
  // Sanitizer builds end with another status when memory leaked.
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.stderrText, "");
}

}  // namespace
}  // namespace zt::test
