// The helper as a host runs it: whole sessions on the scripted platform
// (preparation, command orders, audio, failures, slow answers), the line
// protocol through real reads and odd standard inputs, the real backend
// against a silent server, and the property list embedded in the executable.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <fstream>
#include <future>
#include <map>
#include <regex>
#include <sstream>
#include <thread>

#include "support/audio_events.h"
#include "support/child_process.h"

namespace zt::test {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using Events = std::vector<json>;
using Clock = std::chrono::steady_clock;

json stateEvent(const std::string& word) { return {{"event", "state"}, {"state", word}}; }
json errorEvent(const std::string& code) { return {{"event", "error"}, {"code", code}}; }
std::string commandLine(const std::string& word) { return json{{"command", word}}.dump() + "\n"; }
const json kPrepared = {{"event", "prepared"}};
const json kEnded = stateEvent("ended");
const json kRecording = stateEvent("recording");
const json kPaused = stateEvent("paused");

struct RunResult {
  int status = -1;
  std::vector<std::string> lines;  // every line, audio included, in order
  Events control;                  // every non-audio event, parsed
  std::string stderrText;
  std::chrono::milliseconds afterLastSent{0};  // from the last command or signal to the end
};

std::unique_ptr<Child> startSim(const json& scenario = json::object(), ChildOptions options = {}) {
  // Left in place: the child reads it at start-up, and names never repeat.
  char name[] = "/tmp/zt-scenario-XXXXXX";
  close(mkstemp(name));
  std::ofstream(name) << scenario.dump();
  options.env["ZT_SIM_SCENARIO"] = name;
  return std::make_unique<Child>(ZT_SIM_HELPER_PATH, options);
}

// Reads on after the lines `result` has, to the end (or the deadline); waits for the exit.
RunResult collect(Child& child, std::chrono::milliseconds timeout, RunResult result = {}) {
  for (auto& line : child.out().rest(timeout)) result.lines.push_back(std::move(line));
  result.status = child.finish(5s);
  for (const auto& line : result.lines)
    if (!isAudioLine(line)) result.control.push_back(json::parse(line, nullptr, false));
  result.stderrText = child.stderrText();
  return result;
}

// Runs words: a command, "INT" or "TERM" (the signal), "waitN" (reads for N ms)
// or "=E" (reads until the event or state E); then reads to the end.
RunResult runScript(const json& scenario, const std::string& script) {
  auto child = startSim(scenario);
  Clock::time_point lastSent;
  RunResult result;
  auto listen = [&](int ms, const std::string& until) {
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (auto line = child->out().next(leftUntil(end))) {
      result.lines.push_back(*line);
      const json j = json::parse(*line, nullptr, false);
      if (!until.empty() && j.is_object() && (j.value("event", "") == until || j.value("state", "") == until))
        return;
    }
  };
  std::istringstream words(script);
  for (std::string word; words >> word;) {
    if (word[0] == '=') {
      listen(15000, word.substr(1));
    } else if (word.rfind("wait", 0) == 0) {
      listen(std::stoi(word.substr(4)), "");
    } else {
      lastSent = Clock::now();
      word == "INT" ? child->signal(SIGINT) : word == "TERM" ? child->signal(SIGTERM) : child->send(word);
    }
  }
  child->closeStdin();
  result = collect(*child, 30s, std::move(result));
  result.afterLastSent = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - lastSent);
  return result;
}

// System: 48 kHz stereo in 10 ms buffers; microphone: 48 kHz mono taps.
json playing(json stream = json::object(), json engine = json::object(), json converter = json::object()) {
  stream["audio"] = {{"format", {{"rate", 48000}, {"channels", 2}}}, {"frames", 480}, {"frequency", 1000}};
  engine["audio"] = {{"frequency", 440}};
  if (!engine.contains("inputFormat")) engine["inputFormat"] = {{"rate", 48000}, {"channels", 1}};
  return {{"streams", {stream}}, {"engines", {engine}}, {"converter", converter}};
}
json withEngine(json engine) { return {{"engines", {engine}}}; }
json withStream(json stream) { return {{"streams", {stream}}}; }
json streamError(const char* domain, int code) { return {{"error", {{"domain", domain}, {"code", code}}}}; }
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
// Every line is compact JSON of one flat object of strings.
void expectOutcome(const Case& c, const RunResult& r, std::chrono::milliseconds promptly = {}) {
  SCOPED_TRACE(c.name);
  if (promptly.count()) EXPECT_LT(r.afterLastSent, promptly);
  EXPECT_EQ(r.control, c.expected);
  EXPECT_EQ(r.stderrText, "");
  bool failed = false;
  for (const auto& line : r.lines) {
    const json value = json::parse(line, nullptr, false);
    ASSERT_TRUE(value.is_object()) << line;
    for (const auto& [key, v] : value.items()) ASSERT_TRUE(v.is_string()) << line;
    // Compact: re-serializing gives the same bytes up to key order.
    EXPECT_EQ(value.dump().size(), line.size()) << line;
    EXPECT_FALSE(failed && isAudioLine(line)) << "audio after the error";
    failed = failed || value.value("event", "") == "error";
  }
  EXPECT_EQ(r.status, failed ? 1 : 0);
}

void expectOutcomes(const std::vector<Case>& cases, bool sideBySide = false,
                    std::chrono::milliseconds promptly = {}) {
  // Deferred runs one by one, as each result is asked for.
  std::vector<std::future<RunResult>> results;
  for (const Case& c : cases)
    results.push_back(std::async(sideBySide ? std::launch::async : std::launch::deferred, runCase, c));
  for (size_t i = 0; i < cases.size(); ++i) expectOutcome(cases[i], results[i].get(), promptly);
}

TEST(Lifecycle, FullRecordingWithPauseAndResume) {
  const Case c{"full", playing(), "start wait2000 pause wait300 resume wait1000 stop",
               Events{kRecording, kPaused, kRecording, kEnded}};
  const RunResult r = runCase(c);
  expectOutcome(c, r);
  // A pause or stop drains its audio before its state event.
  std::vector<std::map<std::string, size_t>> runs;
  bool inRun = false;
  for (const auto& line : r.lines) {
    if (!isAudioLine(line)) {
      if ((inRun = line == kRecording.dump())) runs.emplace_back();
      continue;
    }
    const auto audio = parseAudioEvent(line);
    ASSERT_TRUE(audio && inRun) << line;
    runs.back()[audio->source] += audio->samples.size();
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
  const Events noMicrophone = {errorEvent("MICROPHONE_UNAVAILABLE"), kEnded};
  const Events noScreen = {errorEvent("SCREEN_PERMISSION_DENIED"), kEnded};
  expectOutcomes({
      {"9 channels", microphoneFormat(48000, 9), "start wait300", noMicrophone},
      {"7999 Hz", microphoneFormat(7999, 1), "start wait300", noMicrophone},
      {"8 channels at 192000 Hz", microphoneFormat(192000, 8), "start wait300 stop",
       Events{kRecording, kEnded}},
      {"engine does not start", withEngine({{"startFails", true}}), "start wait300", noMicrophone},
      {"audio output refused", withStream({{"addOutputFails", true}}), "start wait300",
       Events{errorEvent("SYSTEM_AUDIO_UNAVAILABLE"), kEnded}},
      {"withdrawn before resume", json{{"screenPreflight", {true, true, false}}},
       "start wait300 pause wait300 resume",
       Events{kRecording, kPaused, errorEvent("SCREEN_PERMISSION_DENIED"), kEnded}},
      {"declined at stream start", withStream({{"start", streamError("SCStreamErrorDomain", -3801)}}),
       "start wait300", noScreen},
      {"another domain", withStream({{"start", streamError("OtherDomain", -3801)}}), "start wait300",
       Events{errorEvent("CAPTURE_START_FAILED"), kEnded}},
  });
}

TEST(Lifecycle, CommandOrders) {
  const json slowStart = withStream({{"start", {{"delayMs", 400}}}});
  const json slowStop = withStream({{"stop", {{"delayMs", 400}}}});
  const Events invalid = {kRecording, errorEvent("INVALID_STATE"), kEnded};
  expectOutcomes({
      {"stop while the stream starts", slowStart, "start wait50 stop", Events{kEnded}},
      {"pause while the stream starts", slowStart, "start wait50 pause wait700 stop",
       Events{kPaused, kEnded}},
      {"resume before paused", slowStop, "start wait200 pause wait50 resume wait900 stop",
       Events{kRecording, kPaused, kRecording, kEnded}},
      {"pause, resume, pause while stopping", slowStop,
       "start wait200 pause wait50 resume wait50 pause wait900 stop", Events{kRecording, kPaused, kEnded}},
      {"stop during a pause's stop", slowStop, "start wait200 pause wait50 stop stop",
       Events{kRecording, kEnded}},
      {"resume while recording", json::object(), "start wait200 resume", invalid},
      {"commands after an error", json::object(), "start wait200 start pause resume prepare", invalid},
      // The end of input after a whole line is a stop.
      {"end of input", json::object(), "", Events{kEnded}},
      {"end of input after prepare", json::object(), "prepare start",
       Events{errorEvent("INVALID_STATE"), kEnded}},
      {"end of input after pause", json::object(), "pause start",
       Events{errorEvent("INVALID_STATE"), kEnded}},
  });
}

TEST(Lifecycle, FailuresWhileRunning) {
  // Conversions busy most of the time: one is under way when the stop fails.
  json busy = playing({{"stop", "error"}}, microphoneFormat(8000, 1)["engines"][0], {{"stallMs", 40}});
  busy["streams"][0]["audio"]["frames"] = 4800;
  auto failed = [](const char* code) { return Events{kRecording, errorEvent(code), kEnded}; };
  expectOutcomes({
      {"stop fails while audio converts", busy, "start wait500 stop",
       Events{kRecording, errorEvent("CAPTURE_STOP_FAILED")}},
      // An input that failed while starting stays failed.
      {"microphone lost during the start",
       playing({{"start", {{"delayMs", 500}}}}, {{"configurationChangeAfterMs", 100}}), "start wait900 stop",
       Events{errorEvent("MICROPHONE_UNAVAILABLE"), kEnded}},
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
  const std::vector<Case> cases = {
      {"start never answers", withStream({{"start", "never"}}), "start wait300", Events{timeout}},
      {"stop never answers", withStream({{"stop", "never"}}), "start wait200 stop",
       Events{kRecording, timeout}},
      {"stop never answers after an error", withStream({{"stop", "never"}, {"stopsByItselfAfterMs", 200}}),
       "start wait1200", Events{kRecording, errorEvent("SYSTEM_AUDIO_UNAVAILABLE"), timeout}},
      {"recording and pause longer than the deadline", json::object(), "start wait10500 pause wait10500 stop",
       Events{kRecording, kPaused, kEnded}},
      {"prompt answered after longer than the deadline",
       json{{"microphoneStatus", 0}, {"microphoneRequest", {{"result", "ok"}, {"delayMs", 10500}}}}, "stop",
       Events{kEnded}},
  };
  expectOutcomes(cases, true);
}

// Commands and signals are served well before slow answers come; late
// answers change nothing.
TEST(SlowServer, CommandsAndSignalsAreServedWhileTheServerIsSlow) {
  const json slow = {{"delayMs", 2500}};
  const json hangs = withEngine({{"start", "never"}});
  auto engines = [](json first, json second = json::object()) { return json{{"engines", {first, second}}}; };
  const char* pauseWaitResume = "start wait150 pause =paused wait900 resume =recording stop";
  const Events pausedAndBack = {kPaused, kRecording, kEnded};
  const std::vector<Case> cases = {
      // Either signal stops like "stop" while standard input stays open.
      {"SIGINT while recording", json::object(), "start =recording INT =ended", Events{kRecording, kEnded}},
      {"SIGTERM while recording", json::object(), "start =recording TERM =ended", Events{kRecording, kEnded}},
      {"signal while the input format is asked for", withEngine({{"formatQuery", slow}}),
       "start wait150 TERM", Events{kEnded}},
      {"stop while the engine start hangs", hangs, "start wait150 stop", Events{kEnded}},
      {"a refused command while the engine start hangs", hangs, "start wait150 prepare",
       Events{errorEvent("INVALID_STATE"), kEnded}},
      {"pause while the engine start hangs", hangs, "start wait150 pause =paused stop",
       Events{kPaused, kEnded}},
      // An input that fails while its start is being answered stays failed.
      {"microphone lost before the engine start answers",
       withEngine({{"start", {{"delayMs", 800}}}, {"configurationChangeAfterMs", 100}}),
       "start wait1200 stop", Events{errorEvent("MICROPHONE_UNAVAILABLE"), kEnded}},
      // The first run's answers arrive while paused.
      {"late input format after a pause", engines({{"formatQuery", {{"delayMs", 600}}}}), pauseWaitResume,
       pausedAndBack},
      {"late engine start after a pause", engines({{"start", {{"delayMs", 600}}}}), pauseWaitResume,
       pausedAndBack},
      // Here it arrives while the next run waits for its own input format.
      {"late engine start during the next start",
       engines({{"start", {{"delayMs", 600}}}}, {{"formatQuery", {{"delayMs", 800}}}}),
       "start wait150 pause =paused resume =recording stop", pausedAndBack},
      // The microphone comes back, slowly, after the stream started.
      {"stop while the microphone comes back",
       json{{"streams", {{{"start", {{"delayMs", 300}}}}}},
            {"engines", {json::object(), {{"formatQuery", slow}}}}},
       "start wait50 pause resume wait600 stop", Events{kEnded}},
  };
  expectOutcomes(cases, false, 1500ms);
}

// "prepare" against scripted permissions, devices and displays: every
// outcome, in the order the checks run.
TEST(Prepare, EveryOutcomeInCheckOrder) {
  const std::string micDenied = "MICROPHONE_PERMISSION_DENIED", screenDenied = "SCREEN_PERMISSION_DENIED";
  const json slowAnswers = {{"microphoneStatus", 0},
                            {"microphoneRequest", {{"result", "ok"}, {"delayMs", 200}}},
                            {"content", {{"delayMs", 200}}}};
  const std::pair<json, std::string> cases[] = {
      {json::object(), ""},  // empty: prepared
      {{{"microphoneStatus", 0}, {"microphoneRequest", "error"}}, micDenied},
      {{{"microphoneStatus", 2}}, micDenied},
      {{{"microphoneStatus", 7}}, micDenied},
      {{{"microphoneStatus", 2}, {"screenPreflight", false}, {"microphonePresent", false}}, micDenied},
      {{{"screenPreflight", {false, true}}}, ""},
      {{{"screenPreflight", false}, {"screenRequest", false}}, screenDenied},
      // The request said yes, the second preflight no.
      {{{"screenPreflight", false}, {"screenRequest", true}}, screenDenied},
      {{{"screenPreflight", false}, {"screenRequest", false}, {"microphonePresent", false}}, screenDenied},
      {{{"microphonePresent", false}, {"displays", 0}}, "MICROPHONE_UNAVAILABLE"},
      {{{"content", streamError("SCStreamErrorDomain", -3801)}}, screenDenied},
      {{{"content", streamError("SCStreamErrorDomain", -3802)}}, "SYSTEM_AUDIO_UNAVAILABLE"},
      {{{"content", streamError("NSOSStatusErrorDomain", -3801)}}, "SYSTEM_AUDIO_UNAVAILABLE"},
      {{{"displays", 0}}, "NO_DISPLAY"},
      {slowAnswers, ""},
  };
  for (const auto& [scenario, code] : cases) {
    SCOPED_TRACE(scenario.dump());
    const Case c{"prepare", scenario, "", {code.empty() ? kPrepared : errorEvent(code), kEnded}};
    expectOutcome(c, runScript(scenario, "prepare =prepared stop"));
  }
}

// The real backend against a sound server that takes connections and never
// says a word: its questions give up after their bounds, and a "stop"
// meanwhile is served at once.
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
    Child child(ZT_HELPER_PATH, {{}, {{"PULSE_SERVER", "unix:" + path}}});
    const auto begin = Clock::now();
    child.send("prepare");
    if (stop) {
      std::this_thread::sleep_for(300ms);
      child.send("stop");
    }
    const RunResult r = collect(child, 20s);
    // Two questions of two seconds each: the microphone, then the output.
    EXPECT_LT(Clock::now() - begin, stop ? 1500ms : 8s);
    const Events expected = stop ? Events{kEnded} : Events{errorEvent("SYSTEM_AUDIO_UNAVAILABLE"), kEnded};
    expectOutcome({stop ? "stopped" : "left to fail", {}, "", expected}, r);
  }
  close(fd);
  unlink(path.c_str());
  rmdir(dir);
}

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
  for (const auto& c : cases)
    for (int run = 0; run < c.runs; ++run) {
      const auto begin = Clock::now();
      const auto child = startSim(c.scenario, c.options);
      child->write(c.input);
      child->closeStdin();
      const RunResult r = collect(*child, 30s);
      EXPECT_LT(Clock::now() - begin, 1500ms);
      expectOutcome({c.input.c_str(), c.scenario, "", c.expected}, r);
    }
  close(null);
}

// Ends well before the exit's grace period would.
TEST(Protocol, HostClosingStandardOutputEndsWithStatusOne) {
  auto child = startSim();
  child->closeStdout();
  child->write(commandLine("prepare"));
  EXPECT_EQ(child->wait(2500ms), 1);
  EXPECT_EQ(child->stderrText(), "");
}

TEST(EmbeddedPropertyList, CarriesEveryKey) {
  const ProgramRun dump =
      runProgram("objcopy", {"-O", "binary", "--only-section=.info_plist", "--dump-section",
                             ".info_plist=/dev/stdout", ZT_HELPER_PATH, "/dev/null"});
  ASSERT_EQ(dump.status, 0) << dump.err;
  const std::string& xml = dump.out;
  // The section holds the file exactly as the sources have it.
  std::ifstream source(ZT_SOURCE_DIR "/resources/Info.plist");
  EXPECT_EQ(xml, std::string(std::istreambuf_iterator<char>(source), {}));
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
