// zentrell-record, its package, the demo and the example hosts on real servers.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <algorithm>
#include <regex>

#include "pulse/pulse_server.h"
#include "record/recorder_run.h"
#include "support/audio_events.h"

using namespace zt::test;
using namespace zt::test::record;
using namespace std::chrono_literals;
using std::filesystem::file_size;

namespace {

// 1000 Hz playing on "speakers", 440 Hz spoken into the virtual microphone.
struct TonesPlaying {
  TonesPlaying() {
    for (const auto& [sink, frequency, level] : {std::tuple{"speakers", 1000, 0.5}, {"micsink", 440, 0.4}})
      if (server.ready()) players.push_back(server.play(sink, pulse::tone(frequency, 60, 48000, level)));
  }
  ~TonesPlaying() {
    for (pid_t p : players) pulse::PulseServer::stopPlayer(p);
  }
  pulse::PulseServer server;
  std::vector<pid_t> players;
};

// `command` as if the toolchain was never there: its folder bound to an empty one.
bool canHideTheToolchain() {
  return geteuid() == 0 && access("/usr/bin/unshare", X_OK) == 0 && *ZT_TOOLCHAIN_DIR;
}
ProgramRun withoutTheToolchain(std::vector<std::string> command,
                               const std::map<std::string, std::string>& env = {}) {
  TempDir empty;
  command.insert(command.begin(), {"--mount", "sh", "-c", R"(mount --bind "$0" "$1" && shift && exec "$@")",
                                   empty.path, ZT_TOOLCHAIN_DIR});
  return runProgram("/usr/bin/unshare", command, env, 120s);
}

}  // namespace

TEST(Package, DependsOnWhatItLoadsRecordsAloneAndLeavesPlayableFilesWhenKilled) {
  TempDir dir;
  const ProgramRun cpack = runProgram(
      ZT_CPACK_COMMAND, {"--config", ZT_BINARY_DIR "/CPackConfig.cmake", "-B", dir / "out"}, {}, 300s);
  ASSERT_EQ(cpack.status, 0) << cpack.out << cpack.err;
  const std::string arch = runProgram("/usr/bin/dpkg", {"--print-architecture"}).out;
  const std::string deb =
      dir / ("out/zentrell-audio-helper_" ZT_VERSION "_" + arch.substr(0, arch.find('\n')) + ".deb");
  const ProgramRun fields = runProgram("/usr/bin/dpkg-deb", {"-f", deb, "Depends", "Recommends"});
  ASSERT_EQ(fields.status, 0) << fields.err;
  for (const char* dependency :
       {"libc6 (>= 2.", "libstdc++6 (>= ", "libsoxr0 (>= ", "\nRecommends: libpulse0\n"})
    EXPECT_NE(fields.out.find(dependency), std::string::npos) << fields.out;
  EXPECT_EQ(fields.out.find("dispatch"), std::string::npos) << fields.out;
  ASSERT_EQ(runProgram("/usr/bin/dpkg", {"-x", deb, dir / "root"}).status, 0);
  const std::string bin = dir / "root/usr/bin/";
  for (const std::string& path : {bin + "zentrell-audio-helper", bin + "zentrell-record"}) {
    EXPECT_EQ(runProgram("/usr/bin/env", {"readelf", "-S", "-W", path}).out.find(" .symtab "),
              std::string::npos)
        << path << " is not stripped";
    const ProgramRun dynamic = runProgram("/usr/bin/env", {"readelf", "-d", path});
    ASSERT_EQ(dynamic.status, 0) << dynamic.err;
    // glibc (the sanitizer runtime adds libresolv), the C++ runtime, libsoxr,
    // and the recorder's libsndfile or the libdispatch beside the helper.
    std::vector<std::string> allowed = {"libc.so.6",      "libm.so.6",     "libresolv.so.2",
                                        "libstdc++.so.6", "libgcc_s.so.1", "libsoxr.so.0"};
    if (path.ends_with("record")) allowed.push_back("libsndfile.so.1");
    if (!ZT_STATIC_DISPATCH && path.ends_with("helper"))
      allowed.insert(allowed.end(), {"libdispatch.so", "libBlocksRuntime.so"});
    const std::regex needed(R"(\(NEEDED\)\s+Shared library: \[(.+)\])");
    for (std::sregex_iterator it(dynamic.out.begin(), dynamic.out.end(), needed), end; it != end; ++it)
      EXPECT_TRUE(std::ranges::count(allowed, (*it)[1].str()) || (*it)[1].str().starts_with("ld-linux"))
          << path << " needs " << (*it)[1];
  }

  // No --helper: the recorder runs the helper beside it, without the
  // toolchain where that can be hidden. Each tone lands in its own file.
  TonesPlaying tones;
  ASSERT_TRUE(tones.server.ready());
  const std::vector<std::string> record = {bin + "zentrell-record", "-d", "2", "-o", dir / "rec"};
  const ProgramRun run = canHideTheToolchain()
                             ? withoutTheToolchain(record)
                             : runProgram(record[0], {record.begin() + 1, record.end()}, {}, 60s);
  ASSERT_EQ(run.status, 0) << run.out << run.err;
  for (const auto& [name, mine, level] : {std::tuple{"system", 1000, 0.5}, {"microphone", 440, 0.4}}) {
    const std::vector<int16_t> wav = readWav(dir / ("rec/" + std::string(name) + ".wav"));
    EXPECT_NEAR(wav.size() / 16000.0, 2.0, 0.1) << name;
    // Its own tone alone, without a gap or a click, past the first block.
    const auto fit = fitSine(wav, mine, 4000);
    EXPECT_NEAR(fit.amplitude, level, 0.1) << name;
    EXPECT_LT(fit.worstWindowResidual, 0.1) << name;
  }
  // Killed mid-way, it leaves files under their partial names, of which sox
  // reads all but the piece (100 ms) written before the header's update.
  ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);  // for its orphaned helper
  ChildOptions options;
  options.args = {"--output", dir / "killed"};
  Child recorder(record[0], options);
  const std::string growing = dir / "killed/system.partial.wav";
  ASSERT_TRUE(waitUntil([&] { return exists(growing) && file_size(growing) >= 44 + 32000; }, 60s));
  recorder.signal(SIGKILL);
  EXPECT_EQ(recorder.wait(10s), 128 + SIGKILL);
  for (const std::string name : {"system", "microphone"}) {
    EXPECT_FALSE(exists(dir / ("killed/" + name + ".wav"))) << name;
    const std::string partial = dir / ("killed/" + name + ".partial.wav");
    const double onDisk = (double(file_size(partial)) - 44) / 32000.0, read = soxDuration(partial);
    EXPECT_GE(read, name == "system" ? 0.9 : 0) << name;
    EXPECT_NEAR(read, onDisk - 0.05, 0.05 + 1e-9) << name;
  }
  // The helper sees its input end, stops, and exits by itself.
  const ProgramRun helpers = runProgram("pgrep", {"-P", std::to_string(getpid()), "zentrell-audio"});
  const pid_t helper = std::atoi(helpers.out.c_str());
  ASSERT_EQ(helpers.out, std::to_string(helper) + "\n");
  if (!waitProcess(helper, 30s)) {
    ADD_FAILURE() << "the helper is still there";
    endProcess(helper);
  }
  ASSERT_EQ(unlink((bin + "zentrell-audio-helper").c_str()), 0);
  const ProgramRun alone = runProgram(record[0], {"--output", dir / "rec2"});
  EXPECT_EQ(alone.status, 1);
  EXPECT_NE(alone.err.find("cannot start the helper " + bin + "zentrell-audio-helper"), std::string::npos)
      << alone.err;
}

TEST(Install, WithoutLibdispatchTheConfigurationSaysWhatToInstall) {
  if (!canHideTheToolchain()) GTEST_SKIP() << "hiding the toolchain takes root, unshare and a toolchain";
  TempDir dir;
  const ProgramRun configure =
      withoutTheToolchain({ZT_CMAKE_COMMAND, "-S", ZT_SOURCE_DIR, "-B", dir / "build", "-G", "Ninja"},
                          {{"CXX", "g++"}, {"CC", "gcc"}, {"SWIFT_ROOT", ""}});
  EXPECT_NE(configure.status, 0);
  EXPECT_NE(configure.err.find("Install the Swift toolchain for Linux"), std::string::npos) << configure.err;
  EXPECT_EQ(configure.err.find("Could NOT find"), std::string::npos) << configure.err;
}

// No server at all: the helper refuses at "prepare", and the host says so. A
// helper neither told, nor beside the script, nor on PATH is named.
TEST(ExampleHosts, ReportTheHelpersErrorOrThatItIsMissing) {
  TempDir dir;
  for (const auto& [interpreter, file] :
       {std::pair{"node", "minimal_host.js"}, {"python3", "minimal_host.py"}}) {
    for (const auto& [helper, says] : std::vector<std::pair<std::string, std::string>>{
             {ZT_HELPER_PATH, "helper error: SYSTEM_AUDIO_UNAVAILABLE"},
             {dir / "gone", "zentrell-audio-helper not found (" + dir / "gone" + "): install it"},
             {"", "zentrell-audio-helper not found (zentrell-audio-helper): install it"}}) {
      const ProgramRun run = runProgram(
          "/usr/bin/env", {interpreter, std::string(ZT_SOURCE_DIR) + "/docs/examples/" + file, "1"},
          {{"ZENTRELL_HELPER", helper}, {"PULSE_SERVER", "unix:" + dir / "no-server"}}, 60s);
      EXPECT_EQ(run.status, 1) << run.out << run.err;
      EXPECT_NE((run.out + run.err).find(says), std::string::npos) << run.out << run.err;
    }
  }
}

TEST(Demo, RecordsOnItsOwnServerWhenTheMachineHasNone) {
  TempDir home;
  const std::string out = home / "demo";
  // No user server can answer: every place a client looks leads nowhere.
  const ProgramRun run = runProgram("/bin/bash", {std::string(ZT_SOURCE_DIR) + "/tools/demo.sh", out},
                                    {{"HOME", home.path},
                                     {"XDG_RUNTIME_DIR", home.path},
                                     {"PULSE_RUNTIME_PATH", home.path},
                                     {"PULSE_SERVER", "unix:" + home / "no-server"},
                                     {"ZENTRELL_RECORD", ZT_RECORD_PATH}},
                                    240s);
  ASSERT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_NE(run.out.find("no sound server found"), std::string::npos) << run.out;
  for (const char* name : {"system", "microphone"}) {
    const std::string wav = out + "/" + name + ".wav";
    EXPECT_NE(run.out.find(wav), std::string::npos) << "the demo does not name " << wav;
    // Music on the output, speech on the microphone: both clearly audible.
    const std::vector<int16_t> w = readWav(wav);
    EXPECT_NEAR(w.size() / 16000.0, 5.0, 0.1) << name;
    EXPECT_TRUE(!w.empty() && *std::max_element(w.begin(), w.end()) > 3277) << name;
    EXPECT_EQ(readFile(out + "/" + name + ".png").substr(1, 3), "PNG") << name;
  }
  // The private server, its players and its folder are gone.
  EXPECT_EQ(runProgram("pgrep", {"-f", "/tmp/zentrell-demo-"}).status, 1);
}
