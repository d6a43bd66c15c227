// zentrell-record with the real helper on a private PulseAudio server: a
// tone on the output and another on the microphone end up in the right
// files for the right time, and a recorder killed mid-way leaves playable
// files and a helper that ends by itself.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "pulse/pulse_server.h"
#include "record/recorder_run.h"
#include "record/wav_reader.h"
#include "support/child_process.h"

using namespace zt::test;
using namespace zt::test::record;
using namespace std::chrono_literals;

namespace {

// Private server with 1000 Hz playing on "speakers" and 440 Hz spoken into
// the virtual microphone.
class TonesPlaying {
 public:
  explicit TonesPlaying(const TempDir& dir) : server_(pulse::standardScript()) {
    if (!server_.ready()) return;
    pulse::writeRaw(dir / "system.raw", pulse::tone(1000, 60, 48000, 0.5));
    pulse::writeRaw(dir / "mic.raw", pulse::tone(440, 60, 48000, 0.4));
    players_ = {server_.play("speakers", dir / "system.raw"), server_.play("micsink", dir / "mic.raw")};
  }
  ~TonesPlaying() {
    for (pid_t p : players_) pulse::PulseServer::stopPlayer(p);
  }
  bool ready() const { return server_.ready(); }

 private:
  pulse::PulseServer server_;
  std::vector<pid_t> players_;
};

std::vector<float> middle(const std::vector<float>& x, size_t count) {
  if (x.size() <= count) return x;
  const size_t start = (x.size() - count) / 2;
  return {x.begin() + static_cast<long>(start), x.begin() + static_cast<long>(start + count)};
}

Wav readOrFail(const std::string& path) {
  std::string error;
  auto wav = readWav(path, &error);
  EXPECT_TRUE(wav) << path << ": " << error;
  return wav ? *wav : Wav{};
}

}  // namespace

TEST(RecordOnPulse, EachSourceLandsInItsFileForTheDuration) {
  TempDir dir;
  TonesPlaying tones(dir);
  ASSERT_TRUE(tones.ready());
  const ProgramRun run = runProgram(ZT_RECORD_PATH, {"--duration", "2", "--output", dir / "out"}, {}, 90s);
  ASSERT_EQ(run.status, 0) << run.out << run.err;

  const Wav system = readOrFail(dir / "out/system.wav");
  const Wav microphone = readOrFail(dir / "out/microphone.wav");
  for (const Wav* wav : {&system, &microphone}) {
    EXPECT_EQ(wav->sampleRate, 16000u);
    EXPECT_EQ(wav->channels, 1);
    EXPECT_NEAR(wav->seconds(), 2.0, 0.1);
  }
  EXPECT_NEAR(soxDuration(dir / "out/system.wav"), 2.0, 0.1);
  EXPECT_NEAR(soxDuration(dir / "out/microphone.wav"), 2.0, 0.1);

  const auto s = middle(system.samples, 8000), m = middle(microphone.samples, 8000);
  EXPECT_EQ(dominantFrequency(s, 16000), 1000);
  EXPECT_EQ(dominantFrequency(m, 16000), 440);
  // Each tone is strong in its own file and absent from the other.
  EXPECT_GT(pulse::toneLevel(s, 1000, 16000), 0.3);
  EXPECT_LT(pulse::toneLevel(s, 440, 16000), 0.01);
  EXPECT_GT(pulse::toneLevel(m, 440, 16000), 0.25);
  EXPECT_LT(pulse::toneLevel(m, 1000, 16000), 0.01);
}

TEST(RecordOnPulse, KilledMidwayLeavesPlayableFilesAndTheHelperEnds) {
  // Orphans of the killed recorder come to this process, so the test can
  // see the helper end.
  ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
  TempDir dir;
  TonesPlaying tones(dir);
  ASSERT_TRUE(tones.ready());
  ChildOptions options;
  options.args = {"--output", dir / "out"};
  Child recorder(ZT_RECORD_PATH, options);
  // Wait for at least a second of system audio on disk.
  const bool grown = pulse::waitUntil(
      [&] {
        struct stat info {};
        return stat((dir / "out/system.partial.wav").c_str(), &info) == 0 && info.st_size >= 44 + 32000;
      },
      60s);
  ASSERT_TRUE(grown);
  recorder.signal(SIGKILL);
  EXPECT_EQ(recorder.wait(10s), 128 + SIGKILL);

  // The files keep their partial names, and sox reads all that reached the
  // disk: a kill between a piece and the header's update loses at most
  // that piece (100 ms).
  for (const char* name : {"system", "microphone"}) {
    EXPECT_FALSE(exists(dir / (std::string("out/") + name + ".wav"))) << name;
    const std::string partial = dir / (std::string("out/") + name + ".partial.wav");
    struct stat info {};
    ASSERT_EQ(stat(partial.c_str(), &info), 0) << name;
    const double onDisk = (info.st_size - 44) / 32000.0, read = soxDuration(partial);
    EXPECT_GE(read, 0) << name;
    EXPECT_LE(read, onDisk + 1e-9) << name;
    EXPECT_GE(read, onDisk - 0.1) << name;
  }
  EXPECT_GE(soxDuration(dir / "out/system.partial.wav"), 0.9);

  // The helper sees its input end, stops, and exits by itself.
  const ProgramRun helpers = runProgram("pgrep", {"-P", std::to_string(getpid()), "zentrell-audio"});
  ASSERT_EQ(helpers.status, 0);
  const pid_t helper = std::atoi(helpers.out.c_str());
  ASSERT_EQ(helpers.out, std::to_string(helper) + "\n");
  if (!waitProcess(helper, 30s)) {
    ADD_FAILURE() << "the helper is still there";
    endProcess(helper);
  }
}
