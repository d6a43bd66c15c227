// Whole recordings on the scripted platform: start, pause, resume and stop
// in every order, with audio of both sources, and every way a run can fail.
#include <gtest/gtest.h>

#include <algorithm>
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
  auto child = startSim(c.scenario);
  child->send("prepare");
  std::vector<std::string> lines;
  // Reads, keeping every line, for `ms` (0: until "prepared").
  auto listen = [&](int ms) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms ? ms : 15000);
    while (auto line = child->out().next(std::chrono::duration_cast<std::chrono::milliseconds>(
               until - std::chrono::steady_clock::now()))) {
      lines.push_back(*line);
      if (!ms && json::parse(*line, nullptr, false) == kPrepared) return;
    }
  };
  listen(0);
  std::istringstream script(c.script);
  for (std::string word; script >> word;)
    word.rfind("wait", 0) == 0 ? listen(std::stoi(word.substr(4))) : child->send(word);
  child->closeStdin();
  RunResult r = collect(*child);
  r.lines.insert(r.lines.begin(), lines.begin(), lines.end());
  r.control.clear();
  for (const auto& line : r.lines)
    if (!isAudioLine(line)) r.control.push_back(json::parse(line, nullptr, false));
  EXPECT_FALSE(r.control.empty());
  if (!r.control.empty()) r.control.erase(r.control.begin());
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

TEST(Lifecycle, FullRecordingWithPauseAndResume) {
  const FailureCase c{"full", playing(), "start wait2000 pause wait300 resume wait1000 stop",
                      Events{kRecording, kPaused, kRecording, kEnded}};
  const RunResult r = runCase(c);
  expectOutcome(c, r);
  expectWellFormedLines(r);
  // Both tails come before "ended", the system's first.
  const auto last = parseAudioEvent(r.lines[r.lines.size() - 2]);
  ASSERT_TRUE(last);
  EXPECT_EQ(last->source, "microphone");
  const Runs runs = splitRuns(r.lines);
  EXPECT_EQ(runs.audioOutsideRuns + runs.malformedAudio, 0);
  ASSERT_EQ(runs.runs.size(), 2u);
  for (size_t i = 0; i < 2; ++i) {
    for (const auto& [source, tone] : {std::pair{"system", kSystemTone}, {"microphone", kMicrophoneTone}}) {
      SCOPED_TRACE(source);
      ASSERT_TRUE(runs.runs[i].count(source));
      const auto& samples = runs.runs[i].at(source);
      // Real-time pacing: about as many samples as the run lasted, tail
      // included.
      EXPECT_NEAR(samples.size() / 16000.0, i == 0 ? 2.0 : 1.0, 0.35);
      const SineFit fit = fitSine(samples, tone);
      EXPECT_NEAR(fit.amplitude, 0.5, 0.01);
      // 16-bit quantization alone is far below this; a gap, repeat or click
      // of even one block is far above it.
      EXPECT_LT(fit.worstWindowResidual, 0.003);
    }
  }
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
  const Events noSystem = {errorEvent("SYSTEM_AUDIO_UNAVAILABLE"), kEnded};
  expectOutcomes({
      {"9 channels", microphoneFormat(48000, 9), "start wait300", noMicrophone},
      {"7999 Hz", microphoneFormat(7999, 1), "start wait300", noMicrophone},
      {"8 channels at 192000 Hz", microphoneFormat(192000, 8), "start wait300 stop", {kRecording, kEnded}},
      {"engine does not start", withEngine({{"startFails", true}}), "start wait300", noMicrophone},
      {"audio output refused", withStream({{"addOutputFails", true}}), "start wait300", noSystem},
      {"both withdrawn",
       {{"screenPreflight", {true, false}}, {"microphoneStatus", {3, 2}}},
       "start",
       noScreen},
      {"microphone withdrawn",
       {{"microphoneStatus", {3, 2}}},
       "start",
       {errorEvent("MICROPHONE_PERMISSION_DENIED"), kEnded}},
      {"withdrawn before resume",
       {{"screenPreflight", {true, true, false}}},
       "start wait300 pause wait300 resume",
       {kRecording, kPaused, errorEvent("SCREEN_PERMISSION_DENIED"), kEnded}},
      {"declined at stream start", withStream({{"start", declined}}), "start wait300", noScreen},
      {"another domain",
       withStream({{"start", otherDomain}}),
       "start wait300",
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
      {"resume before paused",
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
      {"commands after an error", json::object(), "start wait200 start pause resume prepare", invalid},
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
  const Events stopFailed = {kRecording, errorEvent("CAPTURE_STOP_FAILED")};
  const Events noMicrophone = {errorEvent("MICROPHONE_UNAVAILABLE"), kEnded};
  expectOutcomes({
      {"configuration change while recording", playing({}, {{"configurationChangeAfterMs", 300}}),
       "start wait1500", failed("MICROPHONE_UNAVAILABLE")},
      // An input that failed stays failed: no "recording" without it.
      {"configuration change during the start",
       playing({{"start", {{"delayMs", 500}}}}, {{"configurationChangeAfterMs", 100}}), "start wait900 stop",
       noMicrophone},
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
      {"stop fails", withStream({{"stop", "error"}}), "start wait200 stop", stopFailed},
      {"stop fails while audio converts", busy, "start wait500 stop", stopFailed},
      {"microphone not brought back", noSecondEngine, "start wait50 pause resume wait900", noMicrophone},
  });
}

// The deadline covers only a stream start or stop that never answers: a
// recording, a pause and a permission prompt that each outlast it end
// cleanly.
TEST(Lifecycle, Deadlines) {
  const json timeout = errorEvent("CAPTURE_TIMEOUT");
  const std::vector<FailureCase> cases = {
      {"start never completes", withStream({{"start", "never"}}), "start wait300", {timeout}},
      {"stop never completes", withStream({{"stop", "never"}}), "start wait200 stop", {kRecording, timeout}},
      {"stop never completes after an error",
       withStream({{"stop", "never"}, {"stopsByItselfAfterMs", 200}}),
       "start wait1200",
       {kRecording, errorEvent("SYSTEM_AUDIO_UNAVAILABLE"), timeout}},
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

}  // namespace
}  // namespace zt::test
