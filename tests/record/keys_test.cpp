// zentrell-record on a terminal (a pseudo-terminal with a window size
// here): the live status line and its width, the keys, Ctrl-C and Ctrl-Z,
// no stale status after an error, and the terminal given back as it was.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <thread>

#include "record/recorder_run.h"
#include "record/wav_reader.h"

using namespace zt::test::record;
using namespace std::chrono_literals;
using nlohmann::json;

namespace {

json sines() {
  return json{{"streams", {{"audio", {{"frequency", 1000}}}}},
              {"engines", {{"audio", {{"frequency", 440}}}}}};
}

class Terminal {
 public:
  // `background`: started as a shell starts a job with &, in a process
  // group of its own that does not have the terminal, for 8 s; a line
  // typed brings it to the foreground, as fg does for a job that runs.
  // pid() is then the shell's, which exits with the recorder's status, or
  // 255 if it stopped.
  Terminal(const TempDir& dir, const json& scenario = sines(), unsigned short columns = 80,
           bool background = false) {
    writeFile(dir / "scenario.json", scenario.dump());
    winsize size{24, columns, 0, 0};
    pid_ = forkpty(&master_, nullptr, nullptr, &size);
    if (pid_ == 0) {
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
      execl(ZT_RECORD_PATH, ZT_RECORD_PATH, "--helper", ZT_SIM_HELPER_PATH, "--output", out.c_str(),
            background ? "-d8" : nullptr, (char*)nullptr);
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
  pid_t pid() const { return pid_; }

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
  void resize(unsigned short columns) {
    winsize size{24, columns, 0, 0};
    ASSERT_EQ(ioctl(master_, TIOCSWINSZ, &size), 0);  // the recorder gets SIGWINCH
  }
  int finish() {
    waitFor("\x01never", 0, 15s);  // drain the output until the end
    int status = 0;
    if (waitpid(pid_, &status, 0) != pid_) return -1;
    exited_ = true;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  // Each drawing of the status line from `from` on: a clock after an
  // erase, up to the next carriage return or line feed.
  std::vector<std::string> statusLines(size_t from = 0) const {
    std::vector<std::string> lines;
    const std::string erase = "\r\033[K";
    for (size_t at = screen.find(erase, from); at != std::string::npos; at = screen.find(erase, at + 1)) {
      const size_t start = at + erase.size(), end = screen.find_first_of("\r\n", start);
      const std::string line = screen.substr(start, end == std::string::npos ? 0 : end - start);
      if (line.size() >= 7 && line[2] == ':' && line[5] == '.') lines.push_back(line);
    }
    return lines;
  }
  // The lines left on the screen at the end, as a terminal shows them.
  std::vector<std::string> shown() const {
    std::vector<std::string> lines{""};
    size_t column = 0;
    for (size_t i = 0; i < screen.size(); ++i) {
      const char c = screen[i];
      if (c == '\r') {
        column = 0;
      } else if (c == '\n') {
        lines.emplace_back();
        column = 0;
      } else if (screen.compare(i, 3, "\033[K") == 0) {
        lines.back().resize(column);
        i += 2;
      } else {
        if (lines.back().size() <= column) lines.back().resize(column + 1);
        lines.back()[column++] = c;
      }
    }
    return lines;
  }

  std::string screen;

 private:
  pid_t pid_ = -1;
  int master_ = -1;
  bool exited_ = false;
};

}  // namespace

TEST(RecorderOnATerminal, SpacePausesAndResumesAndQStopsInLinesThatFit) {
  TempDir dir;
  Terminal term(dir);
  ASSERT_TRUE(term.started());
  termios before{};
  ASSERT_EQ(tcgetattr(term.master(), &before), 0);

  ASSERT_TRUE(term.waitFor("; space pauses, q stops)", 0)) << term.screen;
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
  // A narrower window: the line follows at once.
  term.resize(50);
  std::this_thread::sleep_for(300ms);
  const size_t narrow = term.screen.size();
  ASSERT_TRUE(term.waitFor("recording", narrow)) << term.screen.substr(narrow);
  term.press('q');
  EXPECT_EQ(term.finish(), 0) << term.screen;

  // Redrawn in place, both meters at 80 columns, never wider than the
  // window.
  const auto wide = term.statusLines(0), thin = term.statusLines(narrow);
  ASSERT_GT(wide.size(), thin.size());
  ASSERT_FALSE(thin.empty());
  for (const auto& line : wide) EXPECT_LT(line.size(), 80u) << line;
  for (const auto& line : thin) EXPECT_LT(line.size(), 50u) << line;
  EXPECT_NE(wide.front().find("mic ["), std::string::npos) << wide.front();
  EXPECT_NE(term.screen.find(" -6.0 dBFS"), std::string::npos);
  EXPECT_NE(term.screen.find("Saved"), std::string::npos) << term.screen;

  termios after{};
  ASSERT_EQ(tcgetattr(term.master(), &after), 0);
  EXPECT_EQ(after.c_lflag & (ICANON | ECHO), before.c_lflag & (ICANON | ECHO));
  std::string error;
  EXPECT_TRUE(readWav(dir / "out/system.wav", &error)) << error;
}

TEST(RecorderOnATerminal, CtrlCStopsInOrderWithStatus130) {
  TempDir dir;
  Terminal term(dir);
  ASSERT_TRUE(term.started());
  ASSERT_TRUE(term.waitFor("  recording", 0)) << term.screen;
  term.press('\x03');  // the terminal turns it into SIGINT
  EXPECT_EQ(term.finish(), 130) << term.screen;
  EXPECT_NE(term.screen.find("Stopping"), std::string::npos);
  std::string error;
  auto wav = readWav(dir / "out/microphone.wav", &error);
  ASSERT_TRUE(wav) << error;
  EXPECT_GT(wav->samples.size(), 0u);
}

TEST(RecorderOnATerminal, CtrlZPausesTheCaptureWhileStopped) {
  TempDir dir;
  Terminal term(dir);
  ASSERT_TRUE(term.started());
  ASSERT_TRUE(term.waitFor("  recording", 0)) << term.screen;
  const auto began = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(1s);
  size_t mark = term.screen.size();
  term.press('\x1a');  // SIGTSTP
  int status = 0;
  ASSERT_EQ(waitpid(term.pid(), &status, WUNTRACED), term.pid());
  ASSERT_TRUE(WIFSTOPPED(status));
  EXPECT_TRUE(term.waitFor("Paused and stopped", mark, 2s)) << term.screen.substr(mark);
  // The helper runs on by itself meanwhile: 3 s of its audio would land
  // in the files if it were not paused.
  std::this_thread::sleep_for(3s);
  mark = term.screen.size();
  ASSERT_EQ(kill(term.pid(), SIGCONT), 0);
  ASSERT_TRUE(term.waitFor("  recording", mark)) << term.screen.substr(mark);
  term.press('q');
  EXPECT_EQ(term.finish(), 0) << term.screen;
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
  std::string error;
  for (const char* name : {"system.wav", "microphone.wav"}) {
    auto wav = readWav(dir / (std::string("out/") + name), &error);
    ASSERT_TRUE(wav) << error;
    EXPECT_GT(wav->seconds(), 0.8) << name;
    EXPECT_LT(wav->seconds(), wall - 2.5) << name;
  }
}

TEST(RecorderOnATerminal, CtrlSHoldsUpNothingButTheStatusLine) {
  // While Ctrl-S has stopped the terminal's output, every write to it
  // waits; a recorder waiting there lets the helper's output queue fill.
  TempDir dir;
  Terminal term(dir);
  ASSERT_TRUE(term.started());
  ASSERT_TRUE(term.waitFor("  recording", 0)) << term.screen;
  term.press('\x13');
  std::this_thread::sleep_for(10s);
  term.press('\x11');
  term.press('q');
  EXPECT_EQ(term.finish(), 0) << term.screen;
  std::string error;
  auto wav = readWav(dir / "out/system.wav", &error);
  ASSERT_TRUE(wav) << error;
  EXPECT_GT(wav->seconds(), 9.0);
}

TEST(RecorderOnATerminal, KeysSurviveTheShellsModeComingBack) {
  // A shell puts its own terminal mode back when a job stops under a
  // signal it did not expect (kill -STOP), and lines arrive, not keys.
  TempDir dir;
  Terminal term(dir);
  ASSERT_TRUE(term.started());
  ASSERT_TRUE(term.waitFor("  recording", 0)) << term.screen;
  termios mode{};
  ASSERT_EQ(tcgetattr(term.master(), &mode), 0);
  mode.c_lflag |= ICANON | ECHO;
  ASSERT_EQ(tcsetattr(term.master(), TCSANOW, &mode), 0);
  size_t mark = term.screen.size();
  ASSERT_EQ(write(term.master(), " \n", 2), 2);  // the space, then a read finds nothing
  ASSERT_TRUE(term.waitFor("  paused", mark)) << term.screen.substr(mark);
  // Continued, it takes single keys again.
  ASSERT_EQ(kill(term.pid(), SIGCONT), 0);
  std::this_thread::sleep_for(300ms);
  mark = term.screen.size();
  term.press('q');
  EXPECT_TRUE(term.waitFor("Saved", mark, 10s)) << term.screen.substr(mark);
}

TEST(RecorderOnATerminal, RecordsInTheBackgroundAndTakesKeysAfterFg) {
  TempDir dir;
  Terminal term(dir, sines(), 80, true);
  ASSERT_TRUE(term.started());
  // Neither stopped by the terminal nor drawing over the shell's line.
  ASSERT_TRUE(term.waitFor("(for 8 s; Ctrl-C stops)", 0)) << term.screen;
  term.waitFor("\x01never", 0, 500ms);
  EXPECT_TRUE(term.statusLines().empty()) << term.screen;
  const size_t mark = term.screen.size();
  ASSERT_EQ(write(term.master(), "fg\n", 3), 3);
  ASSERT_TRUE(term.waitFor("  recording", mark)) << term.screen.substr(mark);
  term.press('q');
  EXPECT_EQ(term.finish(), 0) << term.screen;
  std::string error;
  auto wav = readWav(dir / "out/system.wav", &error);
  ASSERT_TRUE(wav) << error;
  EXPECT_LT(wav->seconds(), 7.0);
}

TEST(RecorderOnATerminal, AnErrorLeavesNoStaleStatusLine) {
  TempDir dir;
  json scenario = sines();
  scenario["streams"]["stopsByItselfAfterMs"] = 600;
  Terminal term(dir, scenario);
  ASSERT_TRUE(term.started());
  EXPECT_EQ(term.finish(), 1) << term.screen;
  ASSERT_NE(term.screen.find("error SYSTEM_AUDIO_UNAVAILABLE"), std::string::npos) << term.screen;
  ASSERT_FALSE(term.statusLines().empty());
  for (const auto& line : term.shown()) EXPECT_EQ(line.find("mic ["), std::string::npos) << line;
}
