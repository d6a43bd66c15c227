// zentrell-record on a terminal (a pseudo-terminal here): the live status
// line, the keys, and the terminal given back as it was.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <nlohmann/json.hpp>

#include <chrono>

#include "record/recorder_run.h"
#include "record/wav_reader.h"

using namespace zt::test::record;
using namespace std::chrono_literals;

namespace {

class Terminal {
 public:
  Terminal(const TempDir& dir) {
    nlohmann::json scenario{{"streams", {{"audio", {{"frequency", 1000}}}}},
                            {"engines", {{"audio", {{"frequency", 440}}}}}};
    writeFile(dir / "scenario.json", scenario.dump());
    pid_ = forkpty(&master_, nullptr, nullptr, nullptr);
    if (pid_ == 0) {
      setenv("ZT_SIM_SCENARIO", (dir / "scenario.json").c_str(), 1);
      const std::string out = dir / "out";
      execl(ZT_RECORD_PATH, ZT_RECORD_PATH, "--helper", ZT_SIM_HELPER_PATH, "--output", out.c_str(),
            (char*)nullptr);
      _exit(127);
    }
  }
  ~Terminal() {
    if (pid_ > 0 && !exited_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (master_ >= 0) close(master_);
  }
  bool started() const { return pid_ > 0 && master_ >= 0; }
  int master() const { return master_; }

  // Reads until `text` shows up after `from` in everything read so far.
  bool waitFor(const std::string& text, size_t from, std::chrono::milliseconds timeout = 20s) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (screen.find(text, from) == std::string::npos) {
      if (std::chrono::steady_clock::now() >= end) return false;
      pollfd p{master_, POLLIN, 0};
      if (poll(&p, 1, 50) > 0) {
        char buffer[4096];
        const ssize_t n = read(master_, buffer, sizeof buffer);
        if (n <= 0) return screen.find(text, from) != std::string::npos;
        screen.append(buffer, static_cast<size_t>(n));
      }
    }
    return true;
  }
  void press(char key) { ASSERT_EQ(write(master_, &key, 1), 1); }
  int finish() {
    waitFor("\x01never", 0, 15s);  // drain the output until the end
    int status = 0;
    if (waitpid(pid_, &status, 0) != pid_) return -1;
    exited_ = true;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  std::string screen;

 private:
  pid_t pid_ = -1;
  int master_ = -1;
  bool exited_ = false;
};

}  // namespace

TEST(RecorderOnATerminal, SpacePausesAndResumesAndQStops) {
  TempDir dir;
  Terminal term(dir);
  ASSERT_TRUE(term.started());
  termios before{};
  ASSERT_EQ(tcgetattr(term.master(), &before), 0);

  ASSERT_TRUE(term.waitFor("(space: pause/resume, q: stop)", 0)) << term.screen;
  ASSERT_TRUE(term.waitFor("  recording", 0)) << term.screen;
  // Raw mode while recording: no line editing, no echo.
  termios raw{};
  ASSERT_EQ(tcgetattr(term.master(), &raw), 0);
  EXPECT_EQ(raw.c_lflag & (ICANON | ECHO), 0u);

  size_t mark = term.screen.size();
  term.press(' ');
  ASSERT_TRUE(term.waitFor("  paused", mark)) << term.screen.substr(mark);
  mark = term.screen.size();
  term.press(' ');
  ASSERT_TRUE(term.waitFor("  recording", mark)) << term.screen.substr(mark);
  mark = term.screen.size();
  term.press('q');
  EXPECT_EQ(term.finish(), 0) << term.screen;

  // The status line is redrawn in place, and shows both meters.
  EXPECT_NE(term.screen.find("\r\033[K"), std::string::npos);
  EXPECT_NE(term.screen.find("system ["), std::string::npos);
  EXPECT_NE(term.screen.find("mic ["), std::string::npos);
  EXPECT_NE(term.screen.find(" -6.0 dBFS"), std::string::npos);
  EXPECT_NE(term.screen.find("Saved"), std::string::npos) << term.screen;

  termios after{};
  ASSERT_EQ(tcgetattr(term.master(), &after), 0);
  EXPECT_EQ(after.c_lflag & (ICANON | ECHO), before.c_lflag & (ICANON | ECHO));

  std::string error;
  EXPECT_TRUE(readWav(dir / "out/system.wav", &error)) << error;
}

TEST(RecorderOnATerminal, CtrlCStopsInOrder) {
  TempDir dir;
  Terminal term(dir);
  ASSERT_TRUE(term.started());
  ASSERT_TRUE(term.waitFor("  recording", 0)) << term.screen;
  term.press('\x03');  // the terminal turns it into SIGINT
  EXPECT_EQ(term.finish(), 0) << term.screen;
  EXPECT_NE(term.screen.find("Stopping"), std::string::npos);
  std::string error;
  auto wav = readWav(dir / "out/microphone.wav", &error);
  ASSERT_TRUE(wav) << error;
  EXPECT_GT(wav->samples.size(), 0u);
}
