// zentrell-record and the guide's two example hosts with the real helper on
// a private PulseAudio server: a tone on the output and another on the
// microphone end up in the right files for the right time, each host stops
// once both sources delivered the seconds asked for, and a recorder killed
// mid-way leaves playable files and a helper that ends by itself.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <nlohmann/json.hpp>

#include "pulse/pulse_server.h"
#include "record/recorder_run.h"
#include "support/audio_events.h"

using namespace zt::test;
using namespace zt::test::record;
using namespace std::chrono_literals;

namespace {

// 1000 Hz playing on "speakers", 440 Hz spoken into the virtual microphone.
struct TonesPlaying {
  explicit TonesPlaying(const TempDir& dir) {
    if (!server.ready()) return;
    for (const auto& [sink, frequency] : {std::pair{"speakers", 1000}, {"micsink", 440}}) {
      pulse::writeRaw(dir / sink, pulse::tone(frequency, 60, 48000, frequency == 1000 ? 0.5 : 0.4));
      players.push_back(server.play(sink, dir / sink));
    }
  }
  ~TonesPlaying() {
    for (pid_t p : players) pulse::PulseServer::stopPlayer(p);
  }
  pulse::PulseServer server{pulse::standardScript()};
  std::vector<pid_t> players;
};

off_t fileSize(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 ? info.st_size : -1;
}

const std::string kExamples = std::string(ZT_SOURCE_DIR) + "/docs/examples/";
const std::pair<const char*, const char*> kHosts[] = {{"node", "minimal_host.js"},
                                                      {"python3", "minimal_host.py"}};

// Runs a host script for 3 s with `helper` in ZENTRELL_HELPER; its summary is
// the last line of its output.
nlohmann::json runHost(const char* interpreter, const std::string& script, const std::string& helper,
                       std::string* log) {
  const ProgramRun run =
      runProgram("/usr/bin/env", {interpreter, script, "3"}, {{"ZENTRELL_HELPER", helper}}, 90s);
  *log = "status " + std::to_string(run.status) + "\n" + run.out + run.err;
  const std::string out = run.out.substr(0, run.out.find_last_not_of('\n') + 1);
  const auto summary = nlohmann::json::parse(out.substr(out.rfind('\n') + 1), nullptr, false);
  if (!summary.is_object()) return {{"exitStatus", -1}};
  EXPECT_EQ(run.status, summary["exitStatus"] == 0 && summary["ended"] == true ? 0 : 1) << *log;
  return summary;
}

}  // namespace

TEST(RecordOnPulse, TheRecorderAndTheExampleHostsGetEachSourceForTheDuration) {
  TempDir dir;
  TonesPlaying tones(dir);
  ASSERT_TRUE(tones.server.ready());
  const ProgramRun run = runProgram(ZT_RECORD_PATH, {"--duration", "2", "--output", dir / "out"}, {}, 90s);
  ASSERT_EQ(run.status, 0) << run.out << run.err;
  for (const auto& [name, mine, level] : {std::tuple{"system", 1000, 0.5}, {"microphone", 440, 0.4}}) {
    const Wav wav = readWav(dir / ("out/" + std::string(name) + ".wav"));
    EXPECT_NEAR(wav.seconds(), 2.0, 0.1) << name;
    // Its own tone alone, without a gap or a click, past the first block.
    const auto fit = fitSine(wav.samples, mine, 4000);
    EXPECT_NEAR(fit.amplitude, level, 0.1) << name;
    EXPECT_LT(fit.worstWindowResidual, 0.1) << name;
  }
  // As an application ships them: the helper beside the host's script.
  ASSERT_EQ(symlink(ZT_HELPER_PATH, (dir / "zentrell-audio-helper").c_str()), 0);
  for (const auto& [interpreter, file] : kHosts) {
    writeFile(dir / file, readFile(kExamples + file));
    std::string log;
    const auto summary = runHost(interpreter, dir / file, "", &log);
    EXPECT_EQ(summary["exitStatus"], 0) << log;
    EXPECT_TRUE(summary["error"].is_null()) << log;
    // However late the server starts delivering, 3 s of each source.
    for (const char* source : {"system", "microphone"}) {
      const double seconds = summary["samples"][source].get<double>() / 16000;
      EXPECT_TRUE(seconds >= 3.0 && seconds < 3.4) << file << " " << source << "\n" << log;
    }
  }
}

TEST(ExampleHosts, ReportTheHelpersErrorOrThatItIsMissing) {
  TempDir dir;
  for (const auto& [interpreter, file] : kHosts) {
    // No server at all: the helper refuses at "prepare".
    setenv("PULSE_SERVER", ("unix:" + dir / "no-server").c_str(), 1);
    std::string log;
    const auto summary = runHost(interpreter, kExamples + file, ZT_HELPER_PATH, &log);
    unsetenv("PULSE_SERVER");
    EXPECT_EQ(summary["error"], "SYSTEM_AUDIO_UNAVAILABLE") << log;
    EXPECT_EQ(summary["exitStatus"], 1) << log;
    EXPECT_NE(log.find("helper error: SYSTEM_AUDIO_UNAVAILABLE"), std::string::npos) << log;
    // Neither told, nor beside the script, nor on PATH.
    for (const std::string& helper : {dir / "gone", std::string()}) {
      runHost(interpreter, kExamples + file, helper, &log);
      const std::string shown = helper.empty() ? "zentrell-audio-helper" : helper;
      EXPECT_NE(log.find("zentrell-audio-helper not found (" + shown + "): install it"), std::string::npos)
          << log;
      EXPECT_EQ(log.rfind("status 1\n", 0), 0u) << log;
    }
  }
}

TEST(RecordOnPulse, KilledMidwayLeavesPlayableFilesAndTheHelperEnds) {
  // Orphans of the killed recorder come to this process, so the test can
  // see the helper end.
  ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
  TempDir dir;
  TonesPlaying tones(dir);
  ASSERT_TRUE(tones.server.ready());
  ChildOptions options;
  options.args = {"--output", dir / "out"};
  Child recorder(ZT_RECORD_PATH, options);
  ASSERT_TRUE(pulse::waitUntil([&] { return fileSize(dir / "out/system.partial.wav") >= 44 + 32000; }, 60s));
  recorder.signal(SIGKILL);
  EXPECT_EQ(recorder.wait(10s), 128 + SIGKILL);
  // The files keep their partial names, and sox reads all that reached the
  // disk: a kill between a piece and the header's update loses at most that
  // piece (100 ms).
  for (const std::string name : {"system", "microphone"}) {
    EXPECT_FALSE(exists(dir / ("out/" + name + ".wav"))) << name;
    const std::string partial = dir / ("out/" + name + ".partial.wav");
    const double onDisk = (fileSize(partial) - 44) / 32000.0, read = soxDuration(partial);
    EXPECT_GE(read, name == "system" ? 0.9 : 0) << name;
    EXPECT_LE(read, onDisk + 1e-9) << name;
    EXPECT_GE(read, onDisk - 0.1) << name;
  }
  // The helper sees its input end, stops, and exits by itself.
  const ProgramRun helpers = runProgram("pgrep", {"-P", std::to_string(getpid()), "zentrell-audio"});
  const pid_t helper = std::atoi(helpers.out.c_str());
  ASSERT_EQ(helpers.out, std::to_string(helper) + "\n");
  if (!waitProcess(helper, 30s)) {
    ADD_FAILURE() << "the helper is still there";
    endProcess(helper);
  }
}
