// `cmake --install` puts the helper, the recorder and the guide where a
// user expects them, and the installed recorder finds the installed helper.
#include <gtest/gtest.h>

#include "pulse/pulse_server.h"
#include "record/recorder_run.h"
#include "record/wav_reader.h"

using namespace zt::test;
using namespace zt::test::record;
using namespace std::chrono_literals;

TEST(Install, PutsEverythingInPlaceAndTheRecorderFindsItsHelper) {
  TempDir prefix;
  const ProgramRun install =
      runProgram(ZT_CMAKE_COMMAND, {"--install", ZT_BINARY_DIR, "--prefix", prefix.path()}, {}, 120s);
  ASSERT_EQ(install.status, 0) << install.out << install.err;
  for (const char* file : {"bin/zentrell-audio-helper", "bin/zentrell-record"})
    EXPECT_EQ(access((prefix / file).c_str(), X_OK), 0) << file;
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
