// zentrell-record on a pseudo-terminal: the keys, Ctrl-C and Ctrl-Z, jobs in
// the background, and the terminal given back as it was.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "record/recorder_run.h"

using namespace zt::test::record;
using namespace std::chrono_literals;

namespace {

const char* const kSines =
    R"({"streams": {"audio": {"frequency": 1000}}, "engines": {"audio": {"frequency": 440}}})";

class Terminal {
 public:
  // `background`: started as a shell starts a job with &, in a process
  // group that does not have the terminal, for 8 s; a line typed brings it
  // to the foreground as fg does. pid() is then the shell's, which exits
  // with the recorder's status, or 255 if it stopped.
  explicit Terminal(const TempDir& dir, bool background = false) {
    writeFile(dir / "scenario.json", kSines);
    winsize size{24, 80, 0, 0};
    pid_ = forkpty(&master_, nullptr, nullptr, &size);
    if (pid_ != 0) return;
    if (background && (pid_ = fork()) != 0) {
      setpgid(pid_, pid_);
      char line[16];
      if (read(0, line, sizeof line) > 0) tcsetpgrp(0, pid_);
      int status = 0;
      waitpid(pid_, &status, WUNTRACED);
      _exit(WIFSTOPPED(status) ? 255 : WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
    }
    if (background) setpgid(0, 0);
    setenv("ZT_SIM_SCENARIO", (dir / "scenario.json").c_str(), 1);
    const std::string out = dir / "out";
    execl(ZT_RECORD_PATH, ZT_RECORD_PATH, "--helper", ZT_SIM_HELPER_PATH, "-o", out.c_str(),
          background ? "-d8" : nullptr, (char*)nullptr);
    _exit(127);
  }
  ~Terminal() {
    if (pid_ > 0 && !exited_) kill(pid_, SIGKILL), waitpid(pid_, nullptr, 0);
    if (master_ >= 0) close(master_);
  }
  int master() const { return master_; }
  pid_t pid() const { return pid_; }
  termios mode() const {
    termios t{};
    EXPECT_EQ(tcgetattr(master_, &t), 0);
    return t;
  }

  // Reads until `text` shows up after `from` in everything read so far.
  bool waitFor(const std::string& text, size_t from = 0, std::chrono::milliseconds timeout = 20s) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (screen.find(text, from) == std::string::npos) {
      pollfd p{master_, POLLIN, 0};
      if (std::chrono::steady_clock::now() >= end) return false;
      if (poll(&p, 1, 50) <= 0) continue;
      char buffer[4096];
      const ssize_t n = read(master_, buffer, sizeof buffer);
      if (n <= 0) return false;
      screen.append(buffer, size_t(n));
    }
    return true;
  }
  // Sends `keys` and waits for `text` to come after them.
  bool type(const std::string& keys, const std::string& text) {
    const size_t mark = screen.size();
    EXPECT_EQ(write(master_, keys.data(), keys.size()), ssize_t(keys.size()));
    return waitFor(text, mark);
  }
  // The exit status, or -1 when it did not exit (then the destructor kills it).
  int finish() {
    waitFor("\x01never", 0, 15s);  // drain the output until the end
    int status = 0;
    pid_t ended = 0;
    for (int i = 0; i < 50 && (ended = waitpid(pid_, &status, WNOHANG)) == 0; ++i) usleep(100000);
    if (ended != pid_) return -1;
    exited_ = true;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  std::string screen;

 private:
  pid_t pid_ = -1;
  int master_ = -1;
  bool exited_ = false;
};

double secondsIn(const TempDir& dir, const char* name) {
  return readWav(dir / (std::string("out/") + name + ".wav")).seconds();
}

}  // namespace

TEST(RecorderOnATerminal, KeysPauseResumeAndStopAlsoAfterTheShellsModeCameBack) {
  TempDir dir;
  Terminal term(dir);
  const termios before = term.mode();
  ASSERT_TRUE(term.waitFor("; space pauses, q stops)")) << term.screen;
  ASSERT_TRUE(term.waitFor("  recording")) << term.screen;
  // Raw mode while recording: no line editing, no echo.
  EXPECT_EQ(term.mode().c_lflag & (ICANON | ECHO), 0u);
  ASSERT_TRUE(term.type(" ", "  paused")) << term.screen;
  ASSERT_TRUE(term.type(" ", "  recording")) << term.screen;
  // A shell puts its own mode back when a job stops under a signal it did
  // not expect (kill -STOP): lines arrive, not keys; continued, it takes
  // single keys again.
  termios mode = term.mode();
  mode.c_lflag |= ICANON | ECHO;
  ASSERT_EQ(tcsetattr(term.master(), TCSANOW, &mode), 0);
  ASSERT_TRUE(term.type(" \n", "  paused")) << term.screen;
  ASSERT_EQ(kill(term.pid(), SIGCONT), 0);
  std::this_thread::sleep_for(300ms);
  ASSERT_TRUE(term.type("q", "Saved")) << term.screen;
  EXPECT_EQ(term.finish(), 0) << term.screen;
  EXPECT_GT(secondsIn(dir, "system"), 0);
  EXPECT_EQ(term.mode().c_lflag & (ICANON | ECHO), before.c_lflag & (ICANON | ECHO));
}

TEST(RecorderOnATerminal, CtrlZPausesTheCaptureWhileStoppedAndCtrlCEndsWith130) {
  TempDir dir;
  Terminal term(dir);
  ASSERT_TRUE(term.waitFor("  recording")) << term.screen;
  const auto began = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(1s);
  EXPECT_TRUE(term.type("\x1a", "Paused and stopped")) << term.screen;  // SIGTSTP
  int status = 0;
  ASSERT_EQ(waitpid(term.pid(), &status, WUNTRACED), term.pid());
  ASSERT_TRUE(WIFSTOPPED(status));
  // The helper runs on meanwhile: 3 s of its audio would land in the
  // files if it were not paused.
  std::this_thread::sleep_for(3s);
  const size_t mark = term.screen.size();
  ASSERT_EQ(kill(term.pid(), SIGCONT), 0);
  ASSERT_TRUE(term.waitFor("  recording", mark)) << term.screen.substr(mark);
  ASSERT_TRUE(term.type("\x03", "Stopping")) << term.screen;  // the terminal's SIGINT
  EXPECT_EQ(term.finish(), 130) << term.screen;
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
  for (const char* name : {"system", "microphone"}) {
    EXPECT_GT(secondsIn(dir, name), 0.8) << name;
    EXPECT_LT(secondsIn(dir, name), wall - 2.5) << name;
  }
}

TEST(RecorderOnATerminal, RecordsInTheBackgroundAndTakesKeysAfterFg) {
  TempDir dir;
  Terminal term(dir, true);
  // Neither stopped by the terminal nor drawing over the shell's line.
  ASSERT_TRUE(term.waitFor("(for 8 s; Ctrl-C stops)")) << term.screen;
  term.waitFor("\x01never", 0, 500ms);
  EXPECT_EQ(term.screen.find("\r\033[K"), std::string::npos) << term.screen;
  ASSERT_TRUE(term.type("fg\n", "  recording")) << term.screen;
  ASSERT_TRUE(term.type("q", "Saved")) << term.screen;
  EXPECT_EQ(term.finish(), 0) << term.screen;
  EXPECT_LT(secondsIn(dir, "system"), 7.0);
}
