// `cmake --install` and the Debian package put the helper, the recorder and
// the guide where a user expects them; the installed helper carries what it
// needs of the build's toolchain and runs on a machine without it.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <nlohmann/json.hpp>

#include <regex>
#include <set>

#include "pulse/pulse_server.h"
#include "record/recorder_run.h"
#include "record/wav_reader.h"
#include "support/helper_run.h"

using namespace zt::test;
using namespace zt::test::record;
using namespace std::chrono_literals;

namespace {

// What an installed executable asks of the dynamic loader.
void expectSelfContained(const std::string& path, bool isHelper) {
  const ProgramRun sections = runProgram("/usr/bin/env", {"readelf", "-S", "-W", path});
  ASSERT_EQ(sections.status, 0) << sections.err;
  EXPECT_EQ(sections.out.find(" .symtab "), std::string::npos) << path << " is not stripped";

  const ProgramRun dynamic = runProgram("/usr/bin/env", {"readelf", "-d", path});
  ASSERT_EQ(dynamic.status, 0) << dynamic.err;
  // glibc's libraries (the sanitizer runtime adds libresolv), the C++
  // runtime and libsoxr.
  std::set<std::string> allowed = {"libc.so.6",      "libm.so.6",     "libresolv.so.2",
                                   "libstdc++.so.6", "libgcc_s.so.1", "libsoxr.so.0"};
  // The recorder writes its files through libsndfile.
  if (!isHelper) allowed.insert("libsndfile.so.1");
  std::string runPath;
  if (!ZT_STATIC_DISPATCH && isHelper) {
    // Without the archives, the shared libraries are installed beside it.
    allowed.insert({"libdispatch.so", "libBlocksRuntime.so"});
    runPath = "$ORIGIN";
  }
  const std::regex needed(R"(\(NEEDED\)\s+Shared library: \[(.+)\])");
  for (std::sregex_iterator it(dynamic.out.begin(), dynamic.out.end(), needed), end; it != end; ++it)
    EXPECT_TRUE(allowed.count((*it)[1]) || (*it)[1].str().starts_with("ld-linux"))
        << path << " needs " << (*it)[1];
  std::smatch runPathMatch;
  const bool hasRunPath = std::regex_search(
      dynamic.out, runPathMatch, std::regex(R"(\((?:RPATH|RUNPATH)\)\s+Library r\w*path: \[(.*)\])"));
  EXPECT_EQ(hasRunPath ? runPathMatch[1].str() : "", runPath) << path;
}

// Arguments of unshare that run `command` in a mount namespace of its own
// in which the toolchain's folder is `emptyDir`, as on a machine that never
// had the toolchain.
std::vector<std::string> withoutTheToolchain(const std::string& emptyDir,
                                             const std::vector<std::string>& command) {
  std::vector<std::string> args = {
      "--mount", "sh", "-c", R"(mount --bind "$0" "$1" && shift && exec "$@")", emptyDir, ZT_TOOLCHAIN_DIR};
  args.insert(args.end(), command.begin(), command.end());
  return args;
}

// The helper as on a machine without the toolchain: prepared, recording,
// audio, ended, status 0.
void expectRecordsWithoutTheToolchain(const std::string& helper) {
  TempDir empty;
  pulse::PulseServer server(pulse::standardScript());
  ASSERT_TRUE(server.ready());
  ChildOptions options;
  options.args = withoutTheToolchain(empty.path(), {helper});
  Child child("/usr/bin/unshare", options);
  child.send("prepare");
  auto line = child.nextControl();
  ASSERT_TRUE(line) << child.stderrText();
  EXPECT_EQ(json::parse(*line), kPrepared);
  child.send("start");
  line = child.nextControl();
  ASSERT_TRUE(line) << child.stderrText();
  EXPECT_EQ(json::parse(*line), stateEvent("recording"));
  // An idle server hands its first block up to 2 s late.
  for (int i = 0; i < 50 && child.audio.size() < 4; ++i) EXPECT_FALSE(child.nextControl(100ms));
  EXPECT_GE(child.audio.size(), 4u);
  child.send("stop");
  child.closeStdin();
  EXPECT_EQ(child.finish(), 0) << child.stderrText();
  ASSERT_FALSE(child.remaining.empty());
  EXPECT_EQ(json::parse(child.remaining.back()), kEnded);
  EXPECT_EQ(child.remaining.size(), 1u) << child.remaining.front();
}

bool canHideTheToolchain() {
  return geteuid() == 0 && access("/usr/bin/unshare", X_OK) == 0 && *ZT_TOOLCHAIN_DIR;
}

}  // namespace

TEST(Install, PutsEverythingInPlaceAndTheRecorderFindsItsHelper) {
  TempDir prefix;
  const ProgramRun install =
      runProgram(ZT_CMAKE_COMMAND, {"--install", ZT_BINARY_DIR, "--prefix", prefix.path()}, {}, 120s);
  ASSERT_EQ(install.status, 0) << install.out << install.err;
  for (const char* file : {"bin/zentrell-audio-helper", "bin/zentrell-record"}) {
    EXPECT_EQ(access((prefix / file).c_str(), X_OK), 0) << file;
    expectSelfContained(prefix / file, std::string(file).ends_with("helper"));
  }
  EXPECT_EQ(readFile(prefix / "share/man/man1/zentrell-record.1"),
            readFile(std::string(ZT_SOURCE_DIR) + "/tools/record/zentrell-record.1"));
  const std::string doc = "share/doc/zentrell-audio-helper/";
  for (const char* file : {"protocol.md", "examples/minimal_host.js", "examples/minimal_host.py"})
    EXPECT_EQ(readFile(prefix / (doc + file)), readFile(std::string(ZT_SOURCE_DIR) + "/docs/" + file))
        << file;

  // No --helper: the recorder runs bin/zentrell-audio-helper beside it.
  pulse::PulseServer server(pulse::standardScript());
  ASSERT_TRUE(server.ready());
  const ProgramRun run =
      runProgram(prefix / "bin/zentrell-record", {"--duration", "0.5", "--output", prefix / "rec"}, {}, 60s);
  ASSERT_EQ(run.status, 0) << run.out << run.err;
  std::string error;
  auto wav = readWav(prefix / "rec/system.wav", &error);
  ASSERT_TRUE(wav) << error;
  EXPECT_NEAR(wav->seconds(), 0.5, 0.1);

  // Without its helper beside it, it says so.
  ASSERT_EQ(unlink((prefix / "bin/zentrell-audio-helper").c_str()), 0);
  const ProgramRun alone = runProgram(prefix / "bin/zentrell-record", {"--output", prefix / "rec2"});
  EXPECT_EQ(alone.status, 1);
  EXPECT_NE(alone.err.find("cannot start the helper " + prefix / "bin/zentrell-audio-helper"),
            std::string::npos)
      << alone.err;
  EXPECT_EQ(alone.err.find("tools/"), std::string::npos) << alone.err;
}

TEST(Install, TheHelperRecordsWithoutTheToolchain) {
  if (!canHideTheToolchain()) GTEST_SKIP() << "hiding the toolchain takes root, unshare and a toolchain";
  TempDir prefix;
  ASSERT_EQ(
      runProgram(ZT_CMAKE_COMMAND, {"--install", ZT_BINARY_DIR, "--prefix", prefix.path()}, {}, 120s).status,
      0);
  expectRecordsWithoutTheToolchain(prefix / "bin/zentrell-audio-helper");
}

TEST(Install, WithoutLibdispatchTheConfigurationSaysWhatToInstall) {
  if (!canHideTheToolchain()) GTEST_SKIP() << "hiding the toolchain takes root, unshare and a toolchain";
  TempDir dir;
  mkdir((dir / "empty").c_str(), 0755);
  const ProgramRun configure = runProgram(
      "/usr/bin/unshare",
      withoutTheToolchain(dir / "empty",
                          {ZT_CMAKE_COMMAND, "-S", ZT_SOURCE_DIR, "-B", dir / "build", "-G", "Ninja"}),
      {{"CXX", "g++"}, {"CC", "gcc"}, {"SWIFT_ROOT", ""}}, 120s);
  EXPECT_NE(configure.status, 0);
  EXPECT_NE(configure.err.find("Install the Swift toolchain for Linux"), std::string::npos) << configure.err;
  EXPECT_EQ(configure.err.find("Could NOT find"), std::string::npos) << configure.err;
}

TEST(Package, TheDebianPackageDependsOnWhatTheHelperLoadsAndRuns) {
  TempDir dir;
  const ProgramRun cpack = runProgram(
      ZT_CPACK_COMMAND, {"--config", ZT_BINARY_DIR "/CPackConfig.cmake", "-B", dir / "out"}, {}, 300s);
  ASSERT_EQ(cpack.status, 0) << cpack.out << cpack.err;
  const ProgramRun arch = runProgram("/usr/bin/dpkg", {"--print-architecture"});
  const std::string deb =
      dir / ("out/zentrell-audio-helper_" ZT_VERSION "_" + arch.out.substr(0, arch.out.find('\n')) + ".deb");

  const ProgramRun fields = runProgram("/usr/bin/dpkg-deb", {"-f", deb, "Depends", "Recommends"});
  ASSERT_EQ(fields.status, 0) << fields.err;
  for (const char* dependency : {"libc6 (>= 2.", "libstdc++6 (>= ", "libsoxr0 (>= "})
    EXPECT_NE(fields.out.find(dependency), std::string::npos) << fields.out;
  EXPECT_EQ(fields.out.find("dispatch"), std::string::npos) << fields.out;
  EXPECT_NE(fields.out.find("\nRecommends: libpulse0\n"), std::string::npos) << fields.out;

  ASSERT_EQ(runProgram("/usr/bin/dpkg", {"-x", deb, dir / "root"}).status, 0);
  expectSelfContained(dir / "root/usr/bin/zentrell-audio-helper", true);
  // The packaged example host finds the packaged helper on PATH.
  pulse::PulseServer server(pulse::standardScript());
  ASSERT_TRUE(server.ready());
  const ProgramRun host =
      runProgram("/usr/bin/env",
                 {"python3", dir / "root/usr/share/doc/zentrell-audio-helper/examples/minimal_host.py", "3"},
                 {{"PATH", dir / "root/usr/bin:" + std::string(getenv("PATH"))}}, 60s);
  EXPECT_EQ(host.status, 0) << host.out << host.err;
  const std::string summary = host.out.substr(host.out.rfind('\n', host.out.size() - 2) + 1);
  const json parsed = json::parse(summary, nullptr, false);
  ASSERT_TRUE(parsed.is_object()) << host.out;
  // An idle server hands its first block up to 2 s late.
  for (const char* source : {"system", "microphone"})
    EXPECT_GT(parsed["samples"][source].get<int>(), 0) << summary;
}
