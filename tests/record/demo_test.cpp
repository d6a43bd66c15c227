// tools/demo.sh on a machine without a sound server: it runs its own,
// records five seconds of music and speech, leaves the files it names, and
// leaves no server or player behind.
#include <dirent.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cmath>
#include <fstream>

#include "record/recorder_run.h"
#include "record/wav_reader.h"

using namespace zt::test::record;
using namespace std::chrono_literals;

namespace {

// Processes whose command line mentions `text`.
int processesMentioning(const std::string& text) {
  int count = 0;
  DIR* proc = opendir("/proc");
  while (dirent* entry = proc ? readdir(proc) : nullptr) {
    if (atoi(entry->d_name) <= 0) continue;
    std::ifstream f("/proc/" + std::string(entry->d_name) + "/cmdline", std::ios::binary);
    std::string cmdline((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    if (cmdline.find(text) != std::string::npos) ++count;
  }
  if (proc) closedir(proc);
  return count;
}

double peak(const std::vector<float>& x) {
  double p = 0;
  for (float v : x) p = std::max(p, double(std::fabs(v)));
  return p;
}

}  // namespace

TEST(Demo, RecordsOnItsOwnServerWhenTheMachineHasNone) {
  TempDir home;
  // No user server can answer: every place a client looks leads nowhere.
  setenv("HOME", home.path().c_str(), 1);
  setenv("XDG_RUNTIME_DIR", home.path().c_str(), 1);
  setenv("PULSE_RUNTIME_PATH", home.path().c_str(), 1);
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
    std::string error;
    auto file = readWav(wav, &error);
    ASSERT_TRUE(file) << error;
    EXPECT_NEAR(soxDuration(wav), 5.0, 0.1) << name;
    // Music on the output, speech on the microphone: both clearly audible.
    EXPECT_GT(peak(file->samples), 0.1) << name;
    EXPECT_EQ(readFile(png).substr(1, 3), "PNG") << name;
  }
  // The private server, its players and its folder are gone.
  EXPECT_EQ(processesMentioning("/tmp/zentrell-demo-"), 0);
}
