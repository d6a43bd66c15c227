// Whole recordings on the scripted platform: command orders, audio, failures.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <thread>

#include "support/audio_events.h"
#include "support/helper_run.h"

namespace zt::test {
namespace {

const json kRecording = stateEvent("recording");
const json kPaused = stateEvent("paused");

// System: 48 kHz stereo in 10 ms buffers; microphone: 48 kHz mono taps.
json playing(json stream = json::object(), json engine = json::object(), json converter = json::object()) {
  stream["audio"] = {{"format", {{"rate", 48000}, {"channels", 2}}}, {"frames", 480}, {"frequency", 1000}};
  engine["audio"] = {{"frequency", 440}};
  if (!engine.contains("inputFormat")) engine["inputFormat"] = {{"rate", 48000}, {"channels", 1}};
  return {{"streams", {stream}}, {"engines", {engine}}, {"converter", converter}};
}
json withEngine(json engine) { return {{"engines", {engine}}}; }
json withStream(json stream) { return {{"streams", {stream}}}; }
json microphoneFormat(double rate, int channels) {
  return withEngine({{"inputFormat", {{"rate", rate}, {"channels", channels}}}});
}

// What follows "prepared" when the script runs after it.
struct Case {
  const char* name;
  json scenario;
  const char* script;
  Events expected;
};

RunResult runCase(const Case& c) {
  RunResult r = runScript(c.scenario, std::string("prepare =prepared ") + c.script);
  if (!r.control.empty()) r.control.erase(r.control.begin());  // "prepared"
  return r;
}

// No audio after an error, not even the tails; `promptly` bounds the end.
void expectOutcome(const Case& c, const RunResult& r, std::chrono::milliseconds promptly) {
  SCOPED_TRACE(c.name);
  if (promptly.count()) EXPECT_LT(r.afterLastSent, promptly);
  EXPECT_EQ(r.control, c.expected);
  const auto error = std::find_if(r.lines.begin(), r.lines.end(), [](const std::string& l) {
    return l.find("\"event\":\"error\"") != l.npos;
  });
  EXPECT_EQ(r.status, error == r.lines.end() ? 0 : 1);
  EXPECT_EQ(r.stderrText, "");
  EXPECT_TRUE(std::none_of(error, r.lines.end(), isAudioLine)) << "audio after the error";
}

void expectOutcomes(const std::vector<Case>& cases, bool sideBySide = false,
                    std::chrono::milliseconds promptly = {}) {
  std::vector<RunResult> results(cases.size());
  std::vector<std::thread> threads;
  for (size_t i = 0; i < cases.size(); ++i) {
    if (sideBySide)
      threads.emplace_back([&, i] { results[i] = runCase(cases[i]); });
    else
      results[i] = runCase(cases[i]);
  }
  for (auto& t : threads) t.join();
  for (size_t i = 0; i < cases.size(); ++i) expectOutcome(cases[i], results[i], promptly);
}

TEST(Lifecycle, FullRecordingWithPauseAndResume) {
  const Case c{"full", playing(), "start wait2000 pause wait300 resume wait1000 stop",
               Events{kRecording, kPaused, kRecording, kEnded}};
  const RunResult r = runCase(c);
  expectOutcome(c, r, {});
  expectWellFormedLines(r);
  // A pause or stop drains its audio before its state event.
  std::vector<std::map<std::string, size_t>> runs;
  bool inRun = false;
  for (const auto& line : r.lines) {
    const json event = json::parse(line);
    if (event["event"] == "state") {
      inRun = event["state"] == "recording";
      if (inRun) runs.emplace_back();
    } else if (event["event"] == "audio") {
      const auto audio = parseAudioEvent(line);
      ASSERT_TRUE(audio && inRun) << line;
      runs.back()[audio->source] += audio->samples.size();
    }
  }
  // Both tails come before "ended", the system's first.
  EXPECT_EQ(parseAudioEvent(r.lines[r.lines.size() - 2]).value_or(AudioEvent{}).source, "microphone");
  // Paced in real time: as long as each run, tail included.
  ASSERT_EQ(runs.size(), 2u);
  for (size_t i = 0; i < 2; ++i)
    for (const char* source : {"system", "microphone"})
      EXPECT_NEAR(runs[i][source] / 16000.0, i == 0 ? 2.0 : 1.0, 0.35) << source;
}

TEST(Lifecycle, StartFailures) {
  const json declined = {{"error", {{"domain", "SCStreamErrorDomain"}, {"code", -3801}}}};
  const json otherDomain = {{"error", {{"domain", "OtherDomain"}, {"code", -3801}}}};
  const Events noMicrophone = {errorEvent("MICROPHONE_UNAVAILABLE"), kEnded};
  const Events noScreen = {errorEvent("SCREEN_PERMISSION_DENIED"), kEnded};
  expectOutcomes({
      {"9 channels", microphoneFormat(48000, 9), "start wait300", noMicrophone},
      {"7999 Hz", microphoneFormat(7999, 1), "start wait300", noMicrophone},
      {"8 channels at 192000 Hz", microphoneFormat(192000, 8), "start wait300 stop", {kRecording, kEnded}},
      {"engine does not start", withEngine({{"startFails", true}}), "start wait300", noMicrophone},
      {"audio output refused",
       withStream({{"addOutputFails", true}}),
       "start wait300",
       {errorEvent("SYSTEM_AUDIO_UNAVAILABLE"), kEnded}},
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
      {"stop during a pause's stop", slowStop, "start wait200 pause wait50 stop stop", {kRecording, kEnded}},
      {"resume while recording", json::object(), "start wait200 resume", invalid},
      {"commands after an error", json::object(), "start wait200 start pause resume prepare", invalid},
  });
}

TEST(Lifecycle, FailuresWhileRunning) {
  // Conversions busy most of the time: one is under way when the stop fails.
  json busy = playing({{"stop", "error"}}, microphoneFormat(8000, 1)["engines"][0], {{"stallMs", 40}});
  busy["streams"][0]["audio"]["frames"] = 4800;
  auto failed = [](const char* code) { return Events{kRecording, errorEvent(code), kEnded}; };
  expectOutcomes({
      {"stop fails while audio converts",
       busy,
       "start wait500 stop",
       {kRecording, errorEvent("CAPTURE_STOP_FAILED")}},
      // An input that failed while starting stays failed.
      {"microphone lost during the start",
       playing({{"start", {{"delayMs", 500}}}}, {{"configurationChangeAfterMs", 100}}),
       "start wait900 stop",
       {errorEvent("MICROPHONE_UNAVAILABLE"), kEnded}},
      {"failed tail flush", playing({}, {}, {{"failTail", true}}), "start wait300 stop",
       failed("AUDIO_CONVERSION_FAILED")},
      {"conversion fails", playing({}, {}, {{"failConvertAfter", 5}}), "start wait500",
       failed("AUDIO_CONVERSION_FAILED")},
      {"stalled conversions", playing({}, {}, {{"stallMs", 60}}), "start wait1500",
       failed("AUDIO_BACKPRESSURE")},
  });
}

// The deadline covers only a stream start or stop that never answers.
TEST(Lifecycle, Deadlines) {
  const json timeout = errorEvent("CAPTURE_TIMEOUT");
  expectOutcomes(
      {
          {"start never answers", withStream({{"start", "never"}}), "start wait300", {timeout}},
          {"stop never answers",
           withStream({{"stop", "never"}}),
           "start wait200 stop",
           {kRecording, timeout}},
          {"stop never answers after an error",
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
      },
      true);
}

// Commands and signals are served well before slow answers come; late
// answers change nothing.
TEST(SlowServer, CommandsAndSignalsAreServedWhileTheServerIsSlow) {
  const json slow = {{"delayMs", 2500}};
  const json hangs = withEngine({{"start", "never"}});
  auto engines = [](json first, json second) { return json{{"engines", {first, second}}}; };
  const char* pauseWaitResume = "start wait150 pause =paused wait900 resume =recording stop";
  const Events pausedAndBack = {kPaused, kRecording, kEnded};
  expectOutcomes(
      {
          {"signal while the input format is asked for",
           withEngine({{"formatQuery", slow}}),
           "start wait150 TERM",
           {kEnded}},
          {"stop while the engine start hangs", hangs, "start wait150 stop", {kEnded}},
          {"a refused command while the engine start hangs",
           hangs,
           "start wait150 prepare",
           {errorEvent("INVALID_STATE"), kEnded}},
          {"pause while the engine start hangs",
           hangs,
           "start wait150 pause =paused stop",
           {kPaused, kEnded}},
          // An input that fails while its start is being answered stays failed.
          {"microphone lost before the engine start answers",
           withEngine({{"start", {{"delayMs", 800}}}, {"configurationChangeAfterMs", 100}}),
           "start wait1200 stop",
           {errorEvent("MICROPHONE_UNAVAILABLE"), kEnded}},
          // The first run's answers arrive while paused.
          {"late input format after a pause", engines({{"formatQuery", {{"delayMs", 600}}}}, json::object()),
           pauseWaitResume, pausedAndBack},
          {"late engine start after a pause", engines({{"start", {{"delayMs", 600}}}}, json::object()),
           pauseWaitResume, pausedAndBack},
          // Here it arrives while the next run waits for its own input format.
          {"late engine start during the next start",
           engines({{"start", {{"delayMs", 600}}}}, {{"formatQuery", {{"delayMs", 800}}}}),
           "start wait150 pause =paused resume =recording stop", pausedAndBack},
          // The microphone comes back, slowly, after the stream started.
          {"stop while the microphone comes back",
           {{"streams", {{{"start", {{"delayMs", 300}}}}}},
            {"engines", {json::object(), {{"formatQuery", slow}}}}},
           "start wait50 pause resume wait600 stop",
           {kEnded}},
      },
      false, std::chrono::milliseconds(1500));
}

}  // namespace
}  // namespace zt::test
