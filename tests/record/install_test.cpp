// The Debian package depends on what the helper and the recorder load, and
// they run on a machine without the build's toolchain; the configuration
// says what to install when it is missing. The demo brings its own sound
// server on a machine that has none.
#include <gtest/gtest.h>
#include <unistd.h>

#include <numeric>
#include <regex>
#include <set>

#include "pulse/pulse_server.h"
#include "record/recorder_run.h"

using namespace zt::test;
using namespace zt::test::record;
using namespace std::chrono_literals;

namespace {

// What an installed executable asks of the dynamic loader: glibc's
// libraries (the sanitizer runtime adds libresolv), the C++ runtime,
// libsoxr, and for the recorder libsndfile.
void expectSelfContained(const std::string& path, bool isHelper) {
  EXPECT_EQ(runProgram("/usr/bin/env", {"readelf", "-S", "-W", path}).out.find(" .symtab "),
            std::string::npos)
      << path << " is not stripped";
  const ProgramRun dynamic = runProgram("/usr/bin/env", {"readelf", "-d", path});
  ASSERT_EQ(dynamic.status, 0) << dynamic.err;
  std::set<std::string> allowed = {"libc.so.6",      "libm.so.6",     "libresolv.so.2",
                                   "libstdc++.so.6", "libgcc_s.so.1", "libsoxr.so.0"};
  if (!isHelper) allowed.insert("libsndfile.so.1");
  std::string runPath;
  if (!ZT_STATIC_DISPATCH && isHelper) {  // then the shared libraries are installed beside it
    allowed.insert({"libdispatch.so", "libBlocksRuntime.so"});
    runPath = "$ORIGIN";
  }
  const std::regex needed(R"(\(NEEDED\)\s+Shared library: \[(.+)\])");
  for (std::sregex_iterator it(dynamic.out.begin(), dynamic.out.end(), needed), end; it != end; ++it)
    EXPECT_TRUE(allowed.count((*it)[1]) || (*it)[1].str().starts_with("ld-linux"))
        << path << " needs " << (*it)[1];
  std::smatch found;
  std::regex_search(dynamic.out, found, std::regex(R"(\((?:RPATH|RUNPATH)\)\s+Library r\w*path: \[(.*)\])"));
  EXPECT_EQ(found.empty() ? "" : found[1].str(), runPath) << path;
}

// `command` as on a machine that never had the toolchain: in a mount
// namespace where its folder is an empty one.
bool canHideTheToolchain() {
  return geteuid() == 0 && access("/usr/bin/unshare", X_OK) == 0 && *ZT_TOOLCHAIN_DIR;
}
ProgramRun withoutTheToolchain(std::vector<std::string> command,
                               const std::map<std::string, std::string>& env = {}) {
  TempDir empty;
  command.insert(command.begin(), {"--mount", "sh", "-c", R"(mount --bind "$0" "$1" && shift && exec "$@")",
                                   empty.path(), ZT_TOOLCHAIN_DIR});
  return runProgram("/usr/bin/unshare", command, env, 120s);
}

}  // namespace

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

TEST(Package, DependsOnWhatItLoadsAndRunsWithoutTheToolchain) {
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
  for (const char* file : {"zentrell-audio-helper", "zentrell-record"})
    expectSelfContained(bin + file, std::string(file).ends_with("helper"));

  // No --helper: the recorder runs the helper beside it, without the
  // toolchain where that can be hidden; without that helper, it says so.
  pulse::PulseServer server(pulse::standardScript());
  ASSERT_TRUE(server.ready());
  const std::vector<std::string> record = {bin + "zentrell-record", "-d", "0.5", "-o", dir / "rec"};
  const ProgramRun run = canHideTheToolchain()
                             ? withoutTheToolchain(record)
                             : runProgram(record[0], {record.begin() + 1, record.end()}, {}, 60s);
  ASSERT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_NEAR(readWav(dir / "rec/system.wav").seconds(), 0.5, 0.1);
  ASSERT_EQ(unlink((bin + "zentrell-audio-helper").c_str()), 0);
  const ProgramRun alone = runProgram(record[0], {"--output", dir / "rec2"});
  EXPECT_EQ(alone.status, 1);
  EXPECT_NE(alone.err.find("cannot start the helper " + bin + "zentrell-audio-helper"), std::string::npos)
      << alone.err;
}

TEST(Demo, RecordsOnItsOwnServerWhenTheMachineHasNone) {
  TempDir home;
  // No user server can answer: every place a client looks leads nowhere.
  for (const char* name : {"HOME", "XDG_RUNTIME_DIR", "PULSE_RUNTIME_PATH"})
    setenv(name, home.path().c_str(), 1);
  setenv("PULSE_SERVER", ("unix:" + home / "no-server").c_str(), 1);
  setenv("ZENTRELL_RECORD", ZT_RECORD_PATH, 1);
  const std::string out = home / "demo";
  const ProgramRun run =
      runProgram("/bin/bash", {std::string(ZT_SOURCE_DIR) + "/tools/demo.sh", out}, {}, 240s);
  ASSERT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_NE(run.out.find("no sound server found"), std::string::npos) << run.out;
  for (const char* name : {"system", "microphone"}) {
    const std::string wav = out + "/" + name + ".wav", png = out + "/" + name + ".png";
    EXPECT_NE(run.out.find(wav), std::string::npos) << "the demo does not name " << wav;
    EXPECT_NE(run.out.find(png), std::string::npos) << "the demo does not name " << png;
    EXPECT_NEAR(soxDuration(wav), 5.0, 0.1) << name;
    // Music on the output, speech on the microphone: both clearly audible.
    const auto samples = readWav(wav).samples;
    EXPECT_GT(std::accumulate(samples.begin(), samples.end(), 0, [](int m, int v) { return std::max(m, v); }),
              3277)
        << name;
    EXPECT_EQ(readFile(png).substr(1, 3), "PNG") << name;
  }
  // The private server, its players and its folder are gone.
  EXPECT_EQ(runProgram("pgrep", {"-f", "/tmp/zentrell-demo-"}).status, 1);
}
