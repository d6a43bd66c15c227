// zentrell-record on the scripted helper: a complete recording, the clock,
// every error path the recorder explains, recordings that are never
// replaced, and the command line with its help and manual.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>
#include <nlohmann/json.hpp>

#include <cmath>
#include <regex>
#include <set>

#include "error_advice.h"
#include "record/recorder_run.h"
#include "status_display.h"

using namespace zt::test::record;
using nlohmann::json;

namespace {

const char* const kSources[] = {"system", "microphone"};

// Sines in real time: system 1000 Hz at -6 dBFS, microphone 440 Hz at -12.
// Buffers of 100 ms and 64 ms leave room for a busy machine's stalls.
json sines(const json& changes = json::object()) {
  json s{{"streams", {{"audio", {{"frequency", 1000}, {"amplitude", 0.5}, {"frames", 4800}}}}},
         {"engines",
          {{{"inputFormat", {{"type", "float32"}, {"rate", 16000}, {"channels", 1}}},
            {"audio", {{"frequency", 440}, {"amplitude", 0.25}}}}}}};
  for (auto& [key, value] : changes.items())
    value.is_object() && s.contains(key) ? s[key].update(value) : void(s[key] = value);
  return s;
}

ProgramRun record(const TempDir& dir, const json& scenario, std::vector<std::string> args,
                  const std::string& helper = ZT_SIM_HELPER_PATH) {
  writeFile(dir / "scenario.json", scenario.dump());
  args.insert(args.end(), {"--helper", helper, "--output", dir / "out"});
  return runProgram(ZT_RECORD_PATH, args, {{"ZT_SIM_SCENARIO", dir / "scenario.json"}});
}

// A shell script that answers like the helper.
const std::string kStarts =
    "read line\necho '{\"event\":\"prepared\"}'\nread line\necho "
    "'{\"event\":\"state\",\"state\":\"recording\"}'\n";
const std::string kEnds = "echo '{\"event\":\"state\",\"state\":\"ended\"}'\n";
std::string halfSecondOfSystem() {  // five lines of 1600 zero samples
  std::string audio;
  for (int i = 0; i < 5; ++i)
    audio +=
        "echo '{\"event\":\"audio\",\"source\":\"system\",\"audio\":\"" + std::string(4267, 'A') + "=\"}'\n";
  return audio;
}
std::string scriptedHelper(const TempDir& dir, const std::string& body) {
  writeFile(dir / "helper.sh", "#!/bin/sh\n" + body, true);
  return dir / "helper.sh";
}

// Whatever happened, each source has a complete file with audio, or none
// and a word about it; no partial file nor an empty folder stays behind.
void expectCompleteOrAbsent(const TempDir& dir, const ProgramRun& run) {
  if (!exists(dir / "out/system.wav") && !exists(dir / "out/microphone.wav"))
    EXPECT_FALSE(exists(dir / "out"));
  for (const std::string name : kSources) {
    EXPECT_FALSE(exists(dir / ("out/" + name + ".partial.wav"))) << name;
    if (exists(dir / ("out/" + name + ".wav")))
      EXPECT_GT(readWav(dir / ("out/" + name + ".wav")).samples.size(), 0u) << name;
    else
      EXPECT_TRUE(run.out.find("No audio came from the " + name) != std::string::npos ||
                  run.out.find("Nothing was recorded; no file written") != std::string::npos)
          << name << "\n"
          << run.out;
  }
}

}  // namespace

TEST(Recorder, WritesBothSourcesForExactlyTheDuration) {
  for (const auto& [duration, samples] : {std::pair{"2.5", 40000u}, {"0.00001", 1u}}) {
    TempDir dir;
    const ProgramRun run = record(dir, sines(), {"--duration", duration, "--spectrogram"});
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_EQ(run.err, "");
    for (int i = 0; i < 2; ++i) {
      const std::string path = dir / ("out/" + std::string(kSources[i]) + ".wav");
      const Wav wav = readWav(path);
      EXPECT_EQ(std::tuple(wav.format, wav.channels, wav.sampleRate, wav.bitsPerSample),
                std::tuple(1, 1, 16000u, 16));
      EXPECT_EQ(wav.samples.size(), samples) << path;
      if (samples == 1 || wav.samples.size() != samples) continue;
      EXPECT_NEAR(soxDuration(path), 2.5, 0.001) << path;
      EXPECT_EQ(readFile(dir / ("out/" + std::string(kSources[i]) + ".png")).substr(1, 3), "PNG");
      const std::vector<float> mid(wav.samples.begin() + 4000, wav.samples.begin() + 12000);
      EXPECT_NEAR(toneLevel(mid, i ? 440 : 1000), i ? 0.25 : 0.5, 0.01) << path;
      EXPECT_LT(toneLevel(mid, i ? 1000 : 440), 0.01) << path;
      // The summary gives the length and peak level the file holds.
      const std::string lead = std::string(kSources[i]) + ".wav: 2.50 s, peak ";
      const size_t at = run.out.find(lead);
      ASSERT_NE(at, std::string::npos) << run.out;
      EXPECT_NEAR(atof(run.out.c_str() + at + lead.size()), 20 * std::log10(wav.peak()), 0.051);
    }
    // Not on a terminal: a progress line a second, no redrawing.
    EXPECT_EQ(run.out.find('\r'), std::string::npos);
    // A tick about every second: two in the 2.5 s, each a tenth early or
    // late on a loaded machine.
    const std::regex tick("\n00:0\\d\\.\\d recording  system peak ");
    if (samples > 1)
      EXPECT_EQ(
          std::distance(std::sregex_iterator(run.out.begin(), run.out.end(), tick), std::sregex_iterator()),
          2)
          << run.out;
  }
}

TEST(Recorder, ShowsTheAudioReceivedAndWritesNoEmptyFile) {
  // "recording" 1.6 s after "prepared", half a second of system audio
  // 1.5 s later, and nothing from the microphone.
  TempDir dir;
  const std::string recording =
      kStarts.substr(0, kStarts.rfind("echo")) + "sleep 1.6\n" + kStarts.substr(kStarts.rfind("echo"));
  const ProgramRun run =
      record(dir, {}, {},
             scriptedHelper(dir, recording + "sleep 1.5\n" + halfSecondOfSystem() + "sleep 1.6\n" + kEnds));
  ASSERT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_NEAR(readWav(dir / "out/system.wav").seconds(), 0.5, 1e-9);
  expectCompleteOrAbsent(dir, run);
  // "Recording" is told once the capture has started; the clock is the
  // audio received, never past 0.5 s though the capture ran for 3 s.
  EXPECT_GT(run.out.find("Recording into"), run.out.find(" starting ")) << run.out;
  const std::regex clock("(^|\n)(\\d\\d):(\\d\\d\\.\\d) recording");
  int lines = 0;
  for (std::sregex_iterator it(run.out.begin(), run.out.end(), clock), end; it != end; ++it, ++lines)
    EXPECT_LE(std::stoi((*it)[2]) * 60 + std::stod((*it)[3]), 0.5) << run.out;
  EXPECT_GE(lines, 2) << run.out;
  EXPECT_NE(run.out.find("00:00.5 recording"), std::string::npos) << run.out;
}

TEST(Recorder, StoppedOrHungUpItStillTellsTheTruth) {
  // SIGSTOP cannot be caught: the helper records on until its queue is
  // full, and the advice says why rather than blame the disk. nohup's
  // ignored SIGHUP stays ignored.
  TempDir dir;
  writeFile(dir / "scenario.json", sines().dump());
  zt::test::ChildOptions options;
  options.args = {"-c", "trap '' HUP; exec \"$0\" --helper \"$1\" -o \"$2\"", ZT_RECORD_PATH,
                  ZT_SIM_HELPER_PATH, dir / "out"};
  options.env = {{"ZT_SIM_SCENARIO", dir / "scenario.json"}};
  zt::test::Child recorder("/bin/sh", options);
  for (int i = 0; i < 100 && !exists(dir / "out/system.partial.wav"); ++i) usleep(100000);
  recorder.signal(SIGHUP);
  recorder.signal(SIGSTOP);
  sleep(9);  // about 7 s of audio fill the helper's 512 KiB and the pipe
  recorder.signal(SIGCONT);
  EXPECT_EQ(recorder.finish(std::chrono::seconds(30)), 1);
  const auto advice = zt::record::adviceFor("OUTPUT_BACKPRESSURE", true);
  EXPECT_NE(recorder.stderrText().find("error OUTPUT_BACKPRESSURE: " + advice.meaning), std::string::npos)
      << recorder.stderrText();
}

TEST(Recorder, ASecondInterruptAbandonsAHelperThatDoesNotStop) {
  TempDir dir;
  zt::test::ChildOptions options;
  options.args = {"--helper", scriptedHelper(dir, kStarts + "exec sleep 20\n"), "-o", dir / "out"};
  zt::test::Child recorder(ZT_RECORD_PATH, options);
  sleep(1);
  for (int i = 0; i < 2; ++i) recorder.signal(SIGINT), usleep(300000);
  EXPECT_EQ(recorder.finish(std::chrono::seconds(10)), 130) << recorder.stderrText();
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

const json kFails = {{"error", {{"domain", "X"}, {"code", 5}}}};
INSTANTIATE_TEST_SUITE_P(
    Codes, RecorderErrors,
    ::testing::Values(
        ErrorCase{"MICROPHONE_PERMISSION_DENIED", {{"microphoneStatus", 2}}},
        ErrorCase{"SCREEN_PERMISSION_DENIED", {{"screenPreflight", false}, {"screenRequest", false}}},
        ErrorCase{"MICROPHONE_UNAVAILABLE", {{"microphonePresent", false}}},
        ErrorCase{"MICROPHONE_UNAVAILABLE", {{"engines", {{"startFails", true}}}}},
        ErrorCase{"NO_DISPLAY", {{"displays", 0}}},
        ErrorCase{"SYSTEM_AUDIO_UNAVAILABLE", {{"content", kFails}}},
        ErrorCase{"SYSTEM_AUDIO_UNAVAILABLE", sines({{"streams", {{"stopsByItselfAfterMs", 100}}}})},
        ErrorCase{"CAPTURE_START_FAILED", {{"streams", {{"start", kFails}}}}},
        ErrorCase{"CAPTURE_TIMEOUT", {{"streams", {{"start", "never"}}}}},
        ErrorCase{"CAPTURE_STOP_FAILED", sines({{"streams", {{"stop", "error"}}}})},
        ErrorCase{"AUDIO_CONVERSION_FAILED", sines({{"converter", {{"failConvertAfter", 0}}}})},
        ErrorCase{"AUDIO_CONVERSION_FAILED", sines({{"converter", {{"failTail", true}}}})}),
    [](const auto& info) { return info.param.code + "_" + std::to_string(info.index); });

// Files of an earlier recording in the output folder: what stays and what
// the recorder says.
struct KeepCase {
  const char* name;
  std::vector<std::string> earlier;  // files there before, holding "earlier"
  const char* flag;
  std::string helper;  // a script body; empty: the scripted helper; "missing"
  int status;
  std::set<std::string> replaced;  // earlier files that now hold the new recording
};
class RecorderKeeps : public ::testing::TestWithParam<KeepCase> {};

TEST_P(RecorderKeeps, EarlierRecordings) {
  const KeepCase& c = GetParam();
  TempDir dir;
  ASSERT_EQ(runProgram("/bin/mkdir", {dir / "out"}).status, 0);
  for (const auto& name : c.earlier) writeFile(dir / ("out/" + name), "earlier");
  const std::string helper = c.helper.empty()        ? ZT_SIM_HELPER_PATH
                             : c.helper == "missing" ? dir / "missing"
                                                     : scriptedHelper(dir, c.helper);
  const ProgramRun run = record(dir, sines(), {c.flag, "--duration", "0.5"}, helper);
  EXPECT_EQ(run.status, c.status) << run.out << run.err;
  for (const auto& name : c.earlier) {
    if (c.replaced.count(name)) {
      EXPECT_NEAR(readWav(dir / ("out/" + name)).seconds(), 0.5, 1e-9) << name;
      continue;
    }
    EXPECT_EQ(readFile(dir / ("out/" + name)), "earlier") << name;
    // Kept beside a new recording, it is not taken for part of it.
    if (!c.replaced.empty())
      EXPECT_NE(run.out.find(dir / ("out/" + name) + " is from an earlier recording"), std::string::npos)
          << run.out;
  }
  // What an unfinished recording got stays beside what it did not replace.
  if (c.helper.ends_with("exit 3\n") && c.helper.size() > kStarts.size() + 10)
    EXPECT_NEAR(readWav(dir / "out/system.partial.wav").seconds(), 0.5, 1e-9);
  if (c.status == 1 && c.helper.empty()) {
    EXPECT_NE(run.err.find(dir / ("out/" + c.earlier[0]) + " exists"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("--force"), std::string::npos) << run.err;
    // What --force would empty may be all that is left of a recording.
    EXPECT_EQ(run.err.find("cut short") != std::string::npos, c.earlier[0].ends_with(".partial.wav"))
        << run.err;
    EXPECT_FALSE(exists(dir / "out/microphone.partial.wav"));
  }
}

const std::vector<std::string> kBoth = {"system.wav", "microphone.wav"};
INSTANTIATE_TEST_SUITE_P(
    Cases, RecorderKeeps,
    ::testing::Values(
        KeepCase{"WavInTheWay", {"microphone.wav"}, "-d1", "", 1, {}},
        KeepCase{"PartialLeftByAKilledRun", {"system.partial.wav"}, "-d1", "", 1, {}},
        KeepCase{"ForceReplacesOnceComplete", kBoth, "-f", "", 0, {kBoth.begin(), kBoth.end()}},
        KeepCase{"ForceAndNoHelper", kBoth, "--force", "missing", 1, {}},
        KeepCase{"ForceAndNoAudio", kBoth, "-y", kStarts + "exit 3\n", 1, {}},
        KeepCase{
            "ForceAndASilentSource", kBoth, "-f", kStarts + halfSecondOfSystem() + kEnds, 0, {"system.wav"}},
        KeepCase{"ForceAndAFailure", kBoth, "-f", kStarts + halfSecondOfSystem() + "exit 3\n", 1, {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Recorder, EachRecordingGetsANewFolderByDefault) {
  TempDir dir;
  writeFile(dir / "scenario.json", sines().dump());
  auto recordIn = [&](const std::string& helper) {
    return runProgram(
        "/bin/sh",
        {"-c", "cd '" + dir.path() + "' && exec '" ZT_RECORD_PATH "' -d 0.3 --helper '" + helper + "'"},
        {{"ZT_SIM_SCENARIO", dir / "scenario.json"}});
  };
  for (int i = 0; i < 2; ++i) ASSERT_EQ(recordIn(ZT_SIM_HELPER_PATH).status, 0);
  EXPECT_EQ(recordIn(dir / "missing").status, 1);
  const std::string list = runProgram("/bin/ls", {dir.path()}).out;
  const std::regex folder("recording-\\d{4}-\\d\\d-\\d\\d-\\d{6}(-\\d+)?");
  std::set<std::string> folders;
  for (std::sregex_iterator it(list.begin(), list.end(), folder), end; it != end; ++it)
    folders.insert(it->str());
  // Two recordings, two folders; the failed start left none.
  ASSERT_EQ(folders.size(), 2u) << list;
  for (const auto& f : folders)
    for (const std::string name : kSources)
      EXPECT_NEAR(readWav(dir / (f + "/" + name + ".wav")).seconds(), 0.3, 1e-9);
}

TEST(Recorder, ReportsAHelperThatCannotStartEndsOrDiesWithoutFinishing) {
  const std::string says[][2] = {
      {"missing", "cannot start the helper "},
      {"text", "Permission denied"},
      {kStarts + "exit 3\n", "ended without finishing the recording (exit status 3)"},
      {"read line\nkill -9 $$\n", "killed by signal 9"},
      {"read line\necho 'not json'\n" + kEnds + "exit 1\n",
       "The helper sent a line this recorder does not understand"},
      {"read line\necho '{\"code\":\"SOMETHING_NEW\",\"event\":\"error\"}'\n" + kEnds + "exit 1\n",
       "error SOMETHING_NEW: The helper reported an error this recorder does not know"}};
  for (const auto& [script, message] : says) {
    TempDir dir;
    std::string helper = dir / script;
    if (script == "text") writeFile(helper, "text");
    if (script.size() > 10) helper = scriptedHelper(dir, script);
    const ProgramRun run = record(dir, {}, {}, helper);
    EXPECT_EQ(run.status, 1) << run.out << run.err;
    EXPECT_NE(run.err.find(message), std::string::npos) << run.err;
    if (script.size() > 10) expectCompleteOrAbsent(dir, run);
    EXPECT_TRUE(script.size() > 10 || !exists(dir / "out"));
    if (script != "missing") continue;
    EXPECT_NE(run.err.find(message + helper), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("--helper PATH"), std::string::npos) << run.err;
    // An installed recorder has no build script to point to.
    EXPECT_EQ(run.err.find(".sh"), std::string::npos) << run.err;
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
  EXPECT_EQ(options, (std::set<std::string>{"-d", "--duration", "-o", "--output", "-f", "-y", "--force",
                                            "--spectrogram", "--helper", "-h", "--help", "--version"}));
  EXPECT_EQ(named(man.out, "\\s(-[a-z]|--[a-z]+)\\b"), options);
  const std::string statuses = "\n\\s+(\\d+)\\s";
  EXPECT_EQ(named(man.out.substr(man.out.find("EXIT STATUS")), statuses),
            named(help.out.substr(help.out.find("Exit status")), statuses));
  EXPECT_EQ(runProgram(ZT_RECORD_PATH, {"--version"}).out, "zentrell-record " ZT_VERSION "\n");
}

TEST(StatusLine, FitsEveryTerminalWidth) {
  using zt::record::Status;
  for (const auto& [s, clock] : {std::pair{Status{754.3, -6, -INFINITY, "recording", true}, "12:34.3"},
                                 std::pair{Status{1.2, -60, -0.1, "resuming", false}, "00:01.2"}})
    for (int columns : {1, 12, 20, 40, 60, 80, 100, 132, 200}) {
      const std::string line = zt::record::StatusDisplay::compose(s, columns);
      EXPECT_LE(line.size(), size_t(columns - 1)) << columns << ": " << line;
      // The time wherever there is room for it; the state, the levels and
      // the keys as the width allows.
      if (columns >= 9) EXPECT_EQ(line.rfind(clock, 0), 0u) << columns << ": " << line;
      if (columns >= 20) EXPECT_NE(line.find(s.state), std::string::npos) << columns << ": " << line;
      if (columns >= 80) EXPECT_NE(line.find("mic ["), std::string::npos) << columns << ": " << line;
      if (columns >= 132 && s.keys) EXPECT_NE(line.find("q: stop"), std::string::npos) << line;
    }
}

// The host guide stays true to the files and the recorder: its example code
// is the example files', and its error table lists the codes explained.
TEST(Guide, ShowsTheExampleFilesAndTheRecordersErrorCodes) {
  const std::string docs = std::string(ZT_SOURCE_DIR) + "/docs/", guide = readFile(docs + "protocol.md");
  const std::regex example("<!-- example: (\\S+) -->\n```\\w*\n([^]*?\n)```\n");
  int examples = 0;
  for (std::sregex_iterator it(guide.begin(), guide.end(), example), end; it != end; ++it, ++examples)
    EXPECT_EQ((*it)[2].str(), readFile(docs + (*it)[1].str()))
        << (*it)[1] << " differs from its copy in protocol.md";
  EXPECT_EQ(examples, 2);
  const size_t section = guide.find("## Error codes");
  const std::string table = guide.substr(section, guide.find("\n## ", section + 1) - section);
  std::set<std::string> documented, meanings;
  const std::regex row("\n\\| `([A-Z_]+)` \\|");
  for (std::sregex_iterator it(table.begin(), table.end(), row), end; it != end; ++it)
    documented.insert((*it)[1]);
  const auto& known = zt::record::knownErrorCodes();
  EXPECT_EQ(documented.size(), 15u);
  EXPECT_EQ(documented, std::set<std::string>(known.begin(), known.end()));
  for (const auto& code : known) meanings.insert(zt::record::adviceFor(code).meaning);
  EXPECT_EQ(meanings.size(), known.size()) << "two codes share one explanation";
}
