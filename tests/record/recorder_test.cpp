// zentrell-record on the scripted helper: a complete recording, every error
// path the recorder explains, a helper that cannot start or that ends
// without finishing, and the command line.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cmath>
#include <cstdlib>

#include "error_advice.h"
#include "record/recorder_run.h"
#include "record/wav_reader.h"

using namespace zt::test::record;
using nlohmann::json;

namespace {

// Sines on both sources, in real time: system 1000 Hz, microphone 440 Hz.
json playingScenario() {
  return json{{"streams", {{"audio", {{"frequency", 1000}, {"amplitude", 0.5}}}}},
              {"engines", {{"audio", {{"frequency", 440}, {"amplitude", 0.25}}}}}};
}

ProgramRun record(const TempDir& dir, const json& scenario, std::vector<std::string> args) {
  writeFile(dir / "scenario.json", scenario.dump());
  args.insert(args.end(), {"--helper", ZT_SIM_HELPER_PATH, "--output", dir / "out"});
  return runProgram(ZT_RECORD_PATH, args, {{"ZT_SIM_SCENARIO", dir / "scenario.json"}});
}

Wav readOrFail(const std::string& path) {
  std::string error;
  auto wav = readWav(path, &error);
  EXPECT_TRUE(wav) << path << ": " << error;
  return wav ? *wav : Wav{};
}

}  // namespace

TEST(Recorder, WritesBothSourcesForExactlyTheDuration) {
  TempDir dir;
  const ProgramRun run = record(dir, playingScenario(), {"--duration", "1.5"});
  ASSERT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_EQ(run.err, "");
  for (const char* name : {"system.wav", "microphone.wav"}) {
    const Wav wav = readOrFail(dir / (std::string("out/") + name));
    EXPECT_EQ(wav.format, 1);
    EXPECT_EQ(wav.channels, 1);
    EXPECT_EQ(wav.sampleRate, 16000u);
    EXPECT_EQ(wav.bitsPerSample, 16);
    EXPECT_EQ(wav.samples.size(), 24000u) << name;
    EXPECT_NEAR(soxDuration(dir / (std::string("out/") + name)), 1.5, 0.001) << name;
  }
  const Wav system = readOrFail(dir / "out/system.wav");
  const Wav microphone = readOrFail(dir / "out/microphone.wav");
  const std::vector<float> s(system.samples.begin() + 4000, system.samples.begin() + 12000);
  const std::vector<float> m(microphone.samples.begin() + 4000, microphone.samples.begin() + 12000);
  EXPECT_EQ(dominantFrequency(s, 16000), 1000);
  EXPECT_EQ(dominantFrequency(m, 16000), 440);
  // The summary gives each file's length and peak level, as the files hold them.
  for (const auto& [name, wav] :
       {std::pair{"system.wav", &system}, std::pair{"microphone.wav", &microphone}}) {
    const std::string lead = std::string(name) + ": 1.50 s, peak ";
    const size_t at = run.out.find(lead);
    ASSERT_NE(at, std::string::npos) << run.out;
    double peak = 0;
    for (float v : wav->samples) peak = std::max(peak, double(std::fabs(v)));
    EXPECT_NEAR(atof(run.out.c_str() + at + lead.size()), 20 * std::log10(peak), 0.051) << name;
  }
  // The scripted sines: amplitude 0.5 (-6 dBFS) and 0.25 (-12 dBFS).
  EXPECT_NE(run.out.find("system.wav: 1.50 s, peak  -6."), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("microphone.wav: 1.50 s, peak -1"), std::string::npos) << run.out;
}

TEST(Recorder, PrintsProgressOncePerSecondWhenNotOnATerminal) {
  TempDir dir;
  const ProgramRun run = record(dir, playingScenario(), {"--duration", "2.5"});
  ASSERT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_EQ(run.out.find('\r'), std::string::npos);
  size_t progress = 0;
  for (size_t at = 0; (at = run.out.find(" recording  system peak ", at)) != std::string::npos; ++at)
    ++progress;
  EXPECT_GE(progress, 2u) << run.out;
  EXPECT_NE(run.out.find("helper state: recording"), std::string::npos);
  EXPECT_NE(run.out.find("helper state: ended"), std::string::npos);
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
  // Whatever was recorded is still a valid file.
  readOrFail(dir / "out/system.wav");
  readOrFail(dir / "out/microphone.wav");
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

TEST(Recorder, ExplainsAHelperThatCannotStart) {
  TempDir dir;
  ProgramRun run = runProgram(ZT_RECORD_PATH, {"--helper", dir / "missing-helper", "--output", dir / "out"});
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("cannot start the helper " + dir / "missing-helper"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("--helper PATH"), std::string::npos) << run.err;

  writeFile(dir / "not-executable", "text");
  run = runProgram(ZT_RECORD_PATH, {"--helper", dir / "not-executable", "--output", dir / "out"});
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("Permission denied"), std::string::npos) << run.err;
}

TEST(Recorder, ReportsAHelperThatEndsWithoutFinishing) {
  TempDir dir;
  // Answers like the helper up to "recording", then dies.
  writeFile(dir / "dying-helper",
            "#!/bin/sh\nread line\necho '{\"event\":\"prepared\"}'\nread line\n"
            "echo '{\"event\":\"state\",\"state\":\"recording\"}'\nexit 3\n",
            true);
  const ProgramRun run =
      runProgram(ZT_RECORD_PATH, {"--helper", dir / "dying-helper", "--output", dir / "out"});
  EXPECT_EQ(run.status, 1) << run.out << run.err;
  EXPECT_NE(run.err.find("ended without finishing the recording (exit status 3)"), std::string::npos)
      << run.err;
  readOrFail(dir / "out/system.wav");
}

TEST(Recorder, ReportsAHelperKilledBySignal) {
  TempDir dir;
  writeFile(dir / "killed-helper", "#!/bin/sh\nread line\nkill -9 $$\n", true);
  const ProgramRun run =
      runProgram(ZT_RECORD_PATH, {"--helper", dir / "killed-helper", "--output", dir / "out"});
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("killed by signal 9"), std::string::npos) << run.err;
}

TEST(Recorder, AnUnknownErrorCodeIsNamed) {
  TempDir dir;
  writeFile(dir / "odd-helper",
            "#!/bin/sh\nread line\necho '{\"code\":\"SOMETHING_NEW\",\"event\":\"error\"}'\n"
            "echo '{\"event\":\"state\",\"state\":\"ended\"}'\nexit 1\n",
            true);
  const ProgramRun run =
      runProgram(ZT_RECORD_PATH, {"--helper", dir / "odd-helper", "--output", dir / "out"});
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("error SOMETHING_NEW: The helper reported an error this recorder does not know"),
            std::string::npos)
      << run.err;
}

TEST(Recorder, RefusesAWrongCommandLine) {
  for (std::vector<std::string> args : {std::vector<std::string>{"--duration", "soon"},
                                        {"--duration", "0"},
                                        {"--duration"},
                                        {"--output", ""},
                                        {"--bogus"}}) {
    const ProgramRun run = runProgram(ZT_RECORD_PATH, args);
    EXPECT_EQ(run.status, 2) << args[0];
    EXPECT_NE(run.err.find("zentrell-record --help"), std::string::npos) << run.err;
  }
}

TEST(Recorder, HelpDescribesEveryOption) {
  const ProgramRun run = runProgram(ZT_RECORD_PATH, {"--help"});
  EXPECT_EQ(run.status, 0);
  for (const char* text :
       {"--duration SECONDS", "--output DIR", "./recording", "--spectrogram", "--helper PATH", "system.wav",
        "microphone.wav", "space", "Ctrl-C", "dBFS", "Exit status"})
    EXPECT_NE(run.out.find(text), std::string::npos) << text;
}

TEST(Recorder, SpectrogramsAreDrawnBySox) {
  TempDir dir;
  const ProgramRun run = record(dir, playingScenario(), {"--duration", "0.5", "--spectrogram"});
  ASSERT_EQ(run.status, 0) << run.out << run.err;
  for (const char* name : {"system.png", "microphone.png"}) {
    const std::string png = readFile(dir / (std::string("out/") + name));
    ASSERT_GT(png.size(), 8u) << name;
    EXPECT_EQ(png.substr(1, 3), "PNG") << name;
  }
}
