// zentrell-record with the real helper on a private PulseAudio server: a
// tone on the output and another on the microphone end up in the right
// files for the right time, and a recorder killed mid-way leaves playable
// files and a helper that ends by itself.
#include <dirent.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

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

// Processes adopted by this test process whose name starts like `name`
// (the kernel keeps 15 characters of it), exited or not.
std::vector<pid_t> adopted(const std::string& name) {
  std::vector<pid_t> found;
  DIR* proc = opendir("/proc");
  while (dirent* entry = proc ? readdir(proc) : nullptr) {
    const pid_t pid = atoi(entry->d_name);
    if (pid <= 0) continue;
    std::ifstream stat("/proc/" + std::string(entry->d_name) + "/stat");
    std::string line;
    std::getline(stat, line);
    const size_t open = line.find('('), close = line.rfind(')');
    if (open == std::string::npos || close == std::string::npos) continue;
    char state;
    int ppid = 0;
    if (sscanf(line.c_str() + close + 1, " %c %d", &state, &ppid) != 2 || ppid != getpid()) continue;
    const std::string comm = line.substr(open + 1, close - open - 1);
    if (!comm.empty() && name.compare(0, comm.size(), comm) == 0) found.push_back(pid);
  }
  if (proc) closedir(proc);
  return found;
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
  const auto helpers = adopted("zentrell-audio-helper");
  ASSERT_EQ(helpers.size(), 1u);
  const bool ended =
      pulse::waitUntil([&] { return waitpid(helpers[0], nullptr, WNOHANG) == helpers[0]; }, 30s);
  EXPECT_TRUE(ended);
  if (!ended) {
    kill(helpers[0], SIGKILL);
    waitpid(helpers[0], nullptr, 0);
  }
}
