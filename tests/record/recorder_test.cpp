// zentrell-record on the scripted helper: a complete recording, the clock,
// every error path the recorder explains, recordings that are never
// replaced, a helper that cannot start or ends without finishing, and the
// command line with its help and manual.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <signal.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <regex>
#include <set>

#include "error_advice.h"
#include "record/recorder_run.h"
#include "record/wav_reader.h"
#include "status_display.h"
#include "support/child_process.h"

using namespace zt::test::record;
using nlohmann::json;

namespace {

const char* const kSources[] = {"system", "microphone"};

// Sines on both sources, in real time: system 1000 Hz, microphone 440 Hz.
// Buffers of 100 ms and 64 ms: four work slots then cover a busy machine's
// stalls, so that only what a test provokes can fail a recording.
json playingScenario() {
  return json{{"streams", {{"audio", {{"frequency", 1000}, {"amplitude", 0.5}, {"frames", 4800}}}}},
              {"engines",
               {{{"inputFormat", {{"type", "float32"}, {"rate", 16000}, {"channels", 1}}},
                 {"audio", {{"frequency", 440}, {"amplitude", 0.25}}}}}}};
}

ProgramRun record(const TempDir& dir, const json& scenario, std::vector<std::string> args,
                  const std::string& helper = ZT_SIM_HELPER_PATH) {
  writeFile(dir / "scenario.json", scenario.dump());
  args.insert(args.end(), {"--helper", helper, "--output", dir / "out"});
  return runProgram(ZT_RECORD_PATH, args, {{"ZT_SIM_SCENARIO", dir / "scenario.json"}});
}

Wav readOrFail(const std::string& path) {
  std::string error;
  auto wav = readWav(path, &error);
  EXPECT_TRUE(wav) << path << ": " << error;
  return wav ? *wav : Wav{};
}

// Whatever happened, each source either has a complete file with audio in
// it, or no file and a word about it; no partial file stays behind, nor a
// folder of the recorder's own with nothing in it.
void expectCompleteOrAbsent(const TempDir& dir, const ProgramRun& run) {
  if (!exists(dir / "out/system.wav") && !exists(dir / "out/microphone.wav"))
    EXPECT_FALSE(exists(dir / "out"));
  for (const std::string name : kSources) {
    const std::string wav = dir / ("out/" + name + ".wav");
    EXPECT_FALSE(exists(dir / ("out/" + name + ".partial.wav"))) << name;
    if (exists(wav)) {
      EXPECT_GT(readOrFail(wav).samples.size(), 0u) << name;
    } else {
      const bool said = run.out.find("No audio came from the " + name) != std::string::npos ||
                        run.out.find("Nothing was recorded; no file written") != std::string::npos;
      EXPECT_TRUE(said) << name << "\n" << run.out;
    }
  }
}

// A shell script that answers like the helper.
std::string scriptedHelper(const TempDir& dir, const std::string& body) {
  writeFile(dir / "helper.sh", "#!/bin/sh\n" + body, true);
  return dir / "helper.sh";
}

}  // namespace

TEST(Recorder, WritesBothSourcesForExactlyTheDuration) {
  TempDir dir;
  const ProgramRun run = record(dir, playingScenario(), {"--duration", "2.5"});
  ASSERT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_EQ(run.err, "");
  std::vector<Wav> wavs;
  for (const std::string name : kSources) {
    const std::string path = dir / ("out/" + name + ".wav");
    wavs.push_back(readOrFail(path));
    const Wav& wav = wavs.back();
    EXPECT_EQ(wav.format, 1);
    EXPECT_EQ(wav.channels, 1);
    EXPECT_EQ(wav.sampleRate, 16000u);
    EXPECT_EQ(wav.bitsPerSample, 16);
    EXPECT_EQ(wav.samples.size(), 40000u) << name;
    EXPECT_NEAR(soxDuration(path), 2.5, 0.001) << name;
    EXPECT_FALSE(exists(dir / ("out/" + name + ".partial.wav")));
  }
  const std::vector<float> s(wavs[0].samples.begin() + 4000, wavs[0].samples.begin() + 12000);
  const std::vector<float> m(wavs[1].samples.begin() + 4000, wavs[1].samples.begin() + 12000);
  EXPECT_EQ(dominantFrequency(s, 16000), 1000);
  EXPECT_EQ(dominantFrequency(m, 16000), 440);
  // The summary gives each file's length and peak level, as the files hold
  // them: the scripted sines are at -6 and -12 dBFS.
  for (size_t i = 0; i < 2; ++i) {
    const std::string lead = std::string(kSources[i]) + ".wav: 2.50 s, peak ";
    const size_t at = run.out.find(lead);
    ASSERT_NE(at, std::string::npos) << run.out;
    double peak = 0;
    for (float v : wavs[i].samples) peak = std::max(peak, double(std::fabs(v)));
    EXPECT_NEAR(atof(run.out.c_str() + at + lead.size()), 20 * std::log10(peak), 0.051);
    EXPECT_NEAR(atof(run.out.c_str() + at + lead.size()), i == 0 ? -6.0 : -12.0, 0.1);
  }
  // Not on a terminal: a progress line a second, no redrawing.
  EXPECT_EQ(run.out.find('\r'), std::string::npos);
  size_t progress = 0;
  for (size_t at = 0; (at = run.out.find(" recording  system peak ", at)) != std::string::npos; ++at)
    ++progress;
  EXPECT_GE(progress, 2u) << run.out;
}

TEST(Recorder, ShowsTheAudioReceivedAndWritesNoEmptyFile) {
  // "recording" a second after "prepared", then half a second of system
  // audio after another 1.5 s, and nothing from the microphone.
  TempDir dir;
  const std::string piece = std::string(4267, 'A') + "=";  // 3200 zero bytes
  std::string audio;
  for (int i = 0; i < 5; ++i)
    audio += "echo '{\"event\":\"audio\",\"source\":\"system\",\"audio\":\"" + piece + "\"}'\n";
  const std::string helper =
      scriptedHelper(dir,
                     "read line\necho '{\"event\":\"prepared\"}'\nread line\nsleep 1.6\n"
                     "echo '{\"event\":\"state\",\"state\":\"recording\"}'\nsleep 1.5\n" +
                         audio + "sleep 1.6\necho '{\"event\":\"state\",\"state\":\"ended\"}'\n");
  const ProgramRun run = record(dir, {}, {}, helper);
  ASSERT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_NEAR(readOrFail(dir / "out/system.wav").seconds(), 0.5, 1e-9);
  EXPECT_FALSE(exists(dir / "out/microphone.wav"));
  expectCompleteOrAbsent(dir, run);
  // "Recording" is told when the capture has started, not before.
  const size_t starting = run.out.find(" starting ");
  ASSERT_NE(starting, std::string::npos) << run.out;
  EXPECT_GT(run.out.find("Recording into"), starting) << run.out;
  // The clock is the audio received: never past 0.5 s, though the capture
  // ran for 3 s.
  const std::regex clock("(^|\n)(\\d\\d):(\\d\\d\\.\\d) recording");
  int lines = 0;
  for (std::sregex_iterator it(run.out.begin(), run.out.end(), clock), end; it != end; ++it, ++lines)
    EXPECT_LE(std::stoi((*it)[2]) * 60 + std::stod((*it)[3]), 0.5) << run.out;
  EXPECT_GE(lines, 2) << run.out;
  EXPECT_NE(run.out.find("00:00.5 recording"), std::string::npos) << run.out;
}

TEST(Recorder, AdviceFitsARecorderThatWasStopped) {
  // SIGSTOP cannot be caught: the helper records on until its queue is
  // full, and the advice says why rather than blame the disk.
  TempDir dir;
  writeFile(dir / "scenario.json", playingScenario().dump());
  zt::test::ChildOptions options;
  options.args = {"--helper", ZT_SIM_HELPER_PATH, "--output", dir / "out"};
  options.env = {{"ZT_SIM_SCENARIO", dir / "scenario.json"}};
  zt::test::Child recorder(ZT_RECORD_PATH, options);
  for (int i = 0; i < 100 && !exists(dir / "out/system.partial.wav"); ++i) usleep(100000);
  recorder.signal(SIGSTOP);
  sleep(9);  // about 7 s of audio fill the helper's 512 KiB and the pipe
  recorder.signal(SIGCONT);
  EXPECT_EQ(recorder.finish(std::chrono::seconds(30)), 1);
  const std::string err = recorder.stderrText();
  EXPECT_NE(
      err.find("error OUTPUT_BACKPRESSURE: " + zt::record::adviceFor("OUTPUT_BACKPRESSURE", true).meaning),
      std::string::npos)
      << err;
}

TEST(Recorder, LeavesIgnoredSignalsIgnored) {
  // nohup ignores SIGHUP so that a recording outlives the terminal.
  TempDir dir;
  writeFile(dir / "scenario.json", playingScenario().dump());
  zt::test::ChildOptions options;
  options.args = {"-c", "trap '' HUP; exec \"$0\" -d 1 --helper \"$1\" -o \"$2\"", ZT_RECORD_PATH,
                  ZT_SIM_HELPER_PATH, dir / "out"};
  options.env = {{"ZT_SIM_SCENARIO", dir / "scenario.json"}};
  zt::test::Child recorder("/bin/sh", options);
  for (int i = 0; i < 100 && !exists(dir / "out/system.partial.wav"); ++i) usleep(100000);
  recorder.signal(SIGHUP);
  EXPECT_EQ(recorder.finish(std::chrono::seconds(30)), 0);
  EXPECT_NEAR(readOrFail(dir / "out/system.wav").seconds(), 1.0, 1e-9);
}

struct ErrorCase {
  std::string code;
  json scenario;
};

class RecorderErrors : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(RecorderErrors, ExplainsTheCodeAndFails) {
  TempDir dir;
  const ProgramRun run = record(dir, GetParam().scenario, {"--duration", "0.5"});
  EXPECT_EQ(run.status, 1) << run.out << run.err;
  const auto advice = zt::record::adviceFor(GetParam().code);
  EXPECT_NE(run.err.find("error " + GetParam().code + ": " + advice.meaning), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("What to do: " + advice.action), std::string::npos) << run.err;
  expectCompleteOrAbsent(dir, run);
}

json withAudio(json scenario) {
  json s = playingScenario();
  for (auto& [key, value] : scenario.items()) {
    if (value.is_object() && s.contains(key))
      s[key].update(value);
    else
      s[key] = value;
  }
  return s;
}

INSTANTIATE_TEST_SUITE_P(
    Codes, RecorderErrors,
    ::testing::Values(
        ErrorCase{"MICROPHONE_PERMISSION_DENIED", {{"microphoneStatus", 2}}},
        ErrorCase{"SCREEN_PERMISSION_DENIED", {{"screenPreflight", false}, {"screenRequest", false}}},
        ErrorCase{"MICROPHONE_UNAVAILABLE", {{"microphonePresent", false}}},
        ErrorCase{"MICROPHONE_UNAVAILABLE", {{"engines", {{"startFails", true}}}}},
        ErrorCase{"NO_DISPLAY", {{"displays", 0}}},
        ErrorCase{"SYSTEM_AUDIO_UNAVAILABLE", {{"content", {{"error", {{"domain", "X"}, {"code", 5}}}}}}},
        ErrorCase{"SYSTEM_AUDIO_UNAVAILABLE", withAudio({{"streams", {{"stopsByItselfAfterMs", 100}}}})},
        ErrorCase{"CAPTURE_START_FAILED",
                  {{"streams", {{"start", {{"error", {{"domain", "X"}, {"code", 5}}}}}}}}},
        ErrorCase{"CAPTURE_TIMEOUT", {{"streams", {{"start", "never"}}}}},
        ErrorCase{"CAPTURE_STOP_FAILED", withAudio({{"streams", {{"stop", "error"}}}})},
        ErrorCase{"AUDIO_CONVERSION_FAILED", withAudio({{"converter", {{"failConvertAfter", 0}}}})},
        ErrorCase{"AUDIO_CONVERSION_FAILED", withAudio({{"converter", {{"failTail", true}}}})}),
    [](const auto& info) { return info.param.code + "_" + std::to_string(info.index); });

// Files of an earlier recording in the output folder: what stays and what
// the recorder says.
struct KeepCase {
  const char* name;
  std::vector<std::string> earlier;  // files there before, holding "earlier"
  std::vector<std::string> args;
  // "sim", "missing", "dying" (dies after "recording"), "system" (0.5 s
  // of system audio, none from the microphone), or "failing" (that audio,
  // then it dies)
  const char* helper;
  int status;
  std::set<std::string> replaced;  // earlier files that now hold the new recording
};

class RecorderKeeps : public ::testing::TestWithParam<KeepCase> {};

TEST_P(RecorderKeeps, EarlierRecordings) {
  const KeepCase& c = GetParam();
  TempDir dir;
  ASSERT_EQ(runProgram("/bin/mkdir", {dir / "out"}).status, 0);
  for (const auto& name : c.earlier) writeFile(dir / ("out/" + name), "earlier");
  std::string helper = ZT_SIM_HELPER_PATH;
  if (c.helper == std::string("missing")) helper = dir / "missing";
  const std::string recording =
      "read line\necho '{\"event\":\"prepared\"}'\nread line\n"
      "echo '{\"event\":\"state\",\"state\":\"recording\"}'\n";
  std::string audio;  // 1600 zero samples a line
  for (int i = 0; i < 5; ++i)
    audio +=
        "echo '{\"event\":\"audio\",\"source\":\"system\",\"audio\":\"" + std::string(4267, 'A') + "=\"}'\n";
  if (c.helper == std::string("dying")) helper = scriptedHelper(dir, recording + "exit 3\n");
  if (c.helper == std::string("system"))
    helper = scriptedHelper(dir, recording + audio + "echo '{\"event\":\"state\",\"state\":\"ended\"}'\n");
  if (c.helper == std::string("failing")) helper = scriptedHelper(dir, recording + audio + "exit 3\n");
  std::vector<std::string> args = c.args;
  args.insert(args.end(), {"--duration", "0.5"});
  const ProgramRun run = record(dir, playingScenario(), args, helper);
  EXPECT_EQ(run.status, c.status) << run.out << run.err;
  for (const auto& name : c.earlier) {
    if (c.replaced.count(name)) {
      EXPECT_NEAR(readOrFail(dir / ("out/" + name)).seconds(), 0.5, 1e-9) << name;
    } else {
      EXPECT_EQ(readFile(dir / ("out/" + name)), "earlier") << name;
      // Kept beside a new recording, it is not taken for part of it.
      if (!c.replaced.empty())
        EXPECT_NE(run.out.find(dir / ("out/" + name) + " is from an earlier recording"), std::string::npos)
            << run.out;
    }
  }
  // What an unfinished recording got stays beside what it did not replace.
  if (c.helper == std::string("failing"))
    EXPECT_NEAR(readOrFail(dir / "out/system.partial.wav").seconds(), 0.5, 1e-9);
  if (c.status == 1 && std::string(c.helper) == "sim") {
    EXPECT_NE(run.err.find(dir / ("out/" + c.earlier[0]) + " exists"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("--force"), std::string::npos) << run.err;
    // What --force would empty may be all that is left of a recording.
    EXPECT_EQ(run.err.find("cut short") != std::string::npos, c.earlier[0].ends_with(".partial.wav"))
        << run.err;
    EXPECT_FALSE(exists(dir / "out/microphone.partial.wav"));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RecorderKeeps,
    ::testing::Values(
        KeepCase{"WavInTheWay", {"microphone.wav"}, {}, "sim", 1, {}},
        KeepCase{"PartialLeftByAKilledRun", {"system.partial.wav"}, {}, "sim", 1, {}},
        KeepCase{"ForceReplacesOnceComplete",
                 {"system.wav", "microphone.wav"},
                 {"-f"},
                 "sim",
                 0,
                 {"system.wav", "microphone.wav"}},
        KeepCase{"ForceAndNoHelper", {"system.wav", "microphone.wav"}, {"--force"}, "missing", 1, {}},
        KeepCase{"ForceAndNoAudio", {"system.wav", "microphone.wav"}, {"-y"}, "dying", 1, {}},
        KeepCase{
            "ForceAndASilentSource", {"system.wav", "microphone.wav"}, {"-f"}, "system", 0, {"system.wav"}},
        KeepCase{"ForceAndAFailure", {"system.wav", "microphone.wav"}, {"-f"}, "failing", 1, {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Recorder, EachRecordingGetsANewFolderByDefault) {
  TempDir dir;
  writeFile(dir / "scenario.json", playingScenario().dump());
  auto recordIn = [&](const std::string& helper) {
    return runProgram(
        "/bin/sh",
        {"-c", "cd '" + dir.path() + "' && exec '" ZT_RECORD_PATH "' -d 0.3 --helper '" + helper + "'"},
        {{"ZT_SIM_SCENARIO", dir / "scenario.json"}});
  };
  for (int i = 0; i < 2; ++i) ASSERT_EQ(recordIn(ZT_SIM_HELPER_PATH).status, 0);
  EXPECT_EQ(recordIn(dir / "missing").status, 1);
  const ProgramRun list = runProgram("/bin/ls", {dir.path()});
  const std::regex folder("recording-\\d{4}-\\d\\d-\\d\\d-\\d{6}(-\\d+)?");
  std::set<std::string> folders;
  for (std::sregex_iterator it(list.out.begin(), list.out.end(), folder), end; it != end; ++it)
    folders.insert(it->str());
  // Two recordings, two folders; the failed start left none.
  ASSERT_EQ(folders.size(), 2u) << list.out;
  for (const auto& f : folders)
    for (const std::string name : kSources)
      EXPECT_NEAR(readOrFail(dir / (f + "/" + name + ".wav")).seconds(), 0.3, 1e-9);
}

TEST(Recorder, ExplainsAHelperThatCannotStart) {
  TempDir dir;
  ProgramRun run = runProgram(ZT_RECORD_PATH, {"--helper", dir / "missing-helper", "--output", dir / "out"});
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("cannot start the helper " + dir / "missing-helper"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("--helper PATH"), std::string::npos) << run.err;
  // An installed recorder has no build script to point to.
  EXPECT_EQ(run.err.find(".sh"), std::string::npos) << run.err;
  EXPECT_FALSE(exists(dir / "out"));

  writeFile(dir / "not-executable", "text");
  run = runProgram(ZT_RECORD_PATH, {"--helper", dir / "not-executable", "--output", dir / "out"});
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("Permission denied"), std::string::npos) << run.err;
}

TEST(Recorder, ReportsAHelperThatEndsOrDiesWithoutFinishing) {
  struct Case {
    const char* script;
    const char* says;
  };
  for (const Case& c :
       {Case{"read line\necho '{\"event\":\"prepared\"}'\nread line\n"
             "echo '{\"event\":\"state\",\"state\":\"recording\"}'\nexit 3\n",
             "ended without finishing the recording (exit status 3)"},
        Case{"read line\nkill -9 $$\n", "killed by signal 9"},
        Case{"read line\necho 'not json'\necho '{\"event\":\"state\",\"state\":\"ended\"}'\nexit 1\n",
             "The helper sent a line this recorder does not understand"},
        Case{"read line\necho '{\"code\":\"SOMETHING_NEW\",\"event\":\"error\"}'\n"
             "echo '{\"event\":\"state\",\"state\":\"ended\"}'\nexit 1\n",
             "error SOMETHING_NEW: The helper reported an error this recorder does not know"}}) {
    TempDir dir;
    const ProgramRun run = record(dir, {}, {}, scriptedHelper(dir, c.script));
    EXPECT_EQ(run.status, 1) << run.out << run.err;
    EXPECT_NE(run.err.find(c.says), std::string::npos) << run.err;
    expectCompleteOrAbsent(dir, run);
  }
}

TEST(Recorder, RefusesAWrongCommandLine) {
  // Each message names the option as it was typed.
  for (const auto& [args, says] : std::vector<std::pair<std::vector<std::string>, std::string>>{
           {{"--duration", "soon"}, "--duration wants"},
           {{"-d", "0"}, "--duration wants"},
           {{"--duration"}, "--duration needs a value"},
           {{"-fo"}, "-o needs a value"},
           {{"--helper"}, "--helper needs a value"},
           {{"--output", ""}, "--output needs a folder"},
           {{"--force=yes"}, "\"--force=yes\""},
           {{"--spectrogram=x"}, "\"--spectrogram=x\""},
           {{"--force", "-xf"}, "\"-x\""},
           {{"--bogus"}, "\"--bogus\""},
           {{"stray"}, "\"stray\""}}) {
    const ProgramRun run = runProgram(ZT_RECORD_PATH, args);
    EXPECT_EQ(run.status, 2) << args[0];
    EXPECT_NE(run.err.find(says), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("zentrell-record --help"), std::string::npos) << run.err;
  }
}

TEST(Recorder, HelpManualAndVersionAgree) {
  const ProgramRun help = runProgram(ZT_RECORD_PATH, {"--help"});
  EXPECT_EQ(help.status, 0);
  const ProgramRun man =
      runProgram("/usr/bin/env",
                 {"man", "--warnings", "-l", std::string(ZT_SOURCE_DIR) + "/tools/record/zentrell-record.1"},
                 {{"MANPAGER", "cat"}, {"MANWIDTH", "100"}});
  ASSERT_EQ(man.status, 0) << man.err;
  EXPECT_EQ(man.err, "") << "the manual does not render cleanly";
  EXPECT_NE(man.out.find("zentrell-record - record"), std::string::npos) << man.out;
  // Every option, short and long, in both; the same exit statuses.
  auto named = [](const std::string& text, const std::string& pattern) {
    std::set<std::string> found;
    const std::regex re(pattern);
    for (std::sregex_iterator it(text.begin(), text.end(), re), end; it != end; ++it) found.insert((*it)[1]);
    return found;
  };
  const auto options = named(help.out, "\\s(-[a-z]|--[a-z]+)\\b");
  for (const char* option : {"-d", "--duration", "-o", "--output", "-f", "-y", "--force", "--spectrogram",
                             "--helper", "-h", "--help", "--version"})
    EXPECT_TRUE(options.count(option)) << option;
  EXPECT_EQ(named(man.out, "\\s(-[a-z]|--[a-z]+)\\b"), options);
  const std::string statuses = "\n\\s+(\\d+)\\s";
  EXPECT_EQ(named(man.out.substr(man.out.find("EXIT STATUS")), statuses),
            named(help.out.substr(help.out.find("Exit status")), statuses));
  const ProgramRun version = runProgram(ZT_RECORD_PATH, {"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, "zentrell-record " ZT_VERSION "\n");
}

TEST(Recorder, ADurationUnderOneSampleRecordsOne) {
  TempDir dir;
  const ProgramRun run = record(dir, playingScenario(), {"-d", "0.00001"});
  ASSERT_EQ(run.status, 0) << run.out << run.err;
  for (const std::string name : kSources)
    EXPECT_EQ(readOrFail(dir / ("out/" + name + ".wav")).samples.size(), 1u) << name;
}

TEST(Recorder, SpectrogramsAreDrawnBySox) {
  TempDir dir;
  const ProgramRun run = record(dir, playingScenario(), {"--duration", "0.5", "--spectrogram"});
  ASSERT_EQ(run.status, 0) << run.out << run.err;
  for (const char* name : {"system.png", "microphone.png"})
    EXPECT_EQ(readFile(dir / (std::string("out/") + name)).substr(1, 3), "PNG") << name;
}

TEST(StatusLine, FitsEveryTerminalWidth) {
  using zt::record::Status;
  using zt::record::StatusDisplay;
  for (const auto& [s, clock] : {std::pair{Status{754.3, -6, -INFINITY, "recording", true}, "12:34.3"},
                                 std::pair{Status{1.2, -60, -0.1, "resuming", false}, "00:01.2"}})
    for (int columns : {1, 12, 20, 40, 60, 80, 100, 132, 200}) {
      const std::string line = StatusDisplay::compose(s, columns);
      EXPECT_LE(line.size(), size_t(columns - 1)) << columns << ": " << line;
      // The time shows wherever there is room for it; the state, the
      // levels and the keys as the width allows.
      if (columns >= 9) EXPECT_EQ(line.rfind(clock, 0), 0u) << columns << ": " << line;
      if (columns >= 20) EXPECT_NE(line.find(s.state), std::string::npos) << columns << ": " << line;
      if (columns >= 80) EXPECT_NE(line.find("mic ["), std::string::npos) << columns << ": " << line;
      if (columns >= 132 && s.keys) EXPECT_NE(line.find("q: stop"), std::string::npos) << line;
    }
}
