// zentrell-record on the scripted helper and on a pseudo-terminal.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <nlohmann/json.hpp>

#include "error_advice.h"
#include "record/recorder_run.h"
#include "status_display.h"
#include "support/audio_events.h"

using namespace zt::test::record;
using namespace std::chrono_literals;
using nlohmann::json;

namespace {

const char* const kSources[] = {"system", "microphone"};

// System 1000 Hz at -6 dBFS, microphone 440 Hz at -12, in real time; buffers
// of 100 and 64 ms leave room for a busy machine's stalls.
json sines(const json& changes = json::object()) {
  json s{{"streams", {{"audio", {{"frequency", 1000}, {"amplitude", 0.5}, {"frames", 4800}}}}},
         {"engines",
          {{{"inputFormat", {{"type", "float32"}, {"rate", 16000}, {"channels", 1}}},
            {"audio", {{"frequency", 440}, {"amplitude", 0.25}}}}}}};
  for (auto& [key, value] : changes.items())
    value.is_object() && s.contains(key) ? s[key].update(value) : void(s[key] = value);
  return s;
}

// `helper`: a shell script's body, "missing", or "not executable"; empty: the
// scripted helper.
ProgramRun record(const TempDir& dir, const json& scenario, std::vector<std::string> args,
                  const std::string& helper = "") {
  const std::string path = helper.empty() ? ZT_SIM_HELPER_PATH : dir / "helper";
  if (!helper.empty() && helper != "missing")
    writeFile(path, "#!/bin/sh\n" + helper, helper != "not executable");
  writeFile(dir / "scenario.json", scenario.dump());
  args.insert(args.begin(), {"--helper", path, "--output", dir / "out"});
  return runProgram(ZT_RECORD_PATH, args, {{"ZT_SIM_SCENARIO", dir / "scenario.json"}});
}

// Helper scripts' pieces; kHalfSecond: five lines of 1600 zero samples.
const std::string kStarts =
    R"(read line; echo '{"event":"prepared"}'; read line; echo '{"event":"state","state":"recording"}'; )";
const std::string kEnds = "echo '{\"event\":\"state\",\"state\":\"ended\"}'\n";
const std::string kHalfSecond =
    "for i in 1 2 3 4 5; do echo '{\"event\":\"audio\",\"source\":\"system\",\"audio\":\"" +
    std::string(4267, 'A') + "=\"}'; done\n";

// zentrell-record on a pseudo-terminal. `background`: an 8 s job started
// with & that a typed line brings to the foreground as fg does; pid is then
// the shell's (exit 255: the job stopped).
struct Terminal {
  explicit Terminal(const TempDir& dir, bool background = false) {
    // Any sound will do here: the keys' effect shows in the files' lengths.
    writeFile(dir / "scenario.json", R"({"streams": {"audio": {}}, "engines": {"audio": {}}})");
    winsize size{24, 80, 0, 0};
    pid = forkpty(&master, nullptr, nullptr, &size);
    if (pid != 0) return;
    if (background && (pid = fork()) != 0) {
      char line[16];  // typed once the job has its own group
      if (read(0, line, sizeof line) > 0) tcsetpgrp(0, pid);
      int status = 0;
      waitpid(pid, &status, WUNTRACED);
      _exit(WIFSTOPPED(status) ? 255 : WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
    }
    if (background) setpgid(0, 0);
    setenv("ZT_SIM_SCENARIO", (dir / "scenario.json").c_str(), 1);
    execl(ZT_RECORD_PATH, ZT_RECORD_PATH, "--helper", ZT_SIM_HELPER_PATH, "-o", (dir / "out").c_str(),
          background ? "-d8" : nullptr, (char*)nullptr);
    _exit(127);
  }
  ~Terminal() {
    if (pid > 0) kill(pid, SIGKILL), waitpid(pid, nullptr, 0);
    if (master >= 0) close(master);
  }
  termios mode() const {
    termios t{};
    EXPECT_EQ(tcgetattr(master, &t), 0);
    return t;
  }

  // Sends `keys` (maybe none) and reads until `text` comes after them.
  bool type(const std::string& keys, const std::string& text, std::chrono::milliseconds timeout = 20s) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    const size_t mark = screen.size();
    EXPECT_EQ(write(master, keys.data(), keys.size()), ssize_t(keys.size()));
    while (screen.find(text, mark) == std::string::npos) {
      pollfd p{master, POLLIN, 0};
      char buffer[4096];
      ssize_t n = 0;
      if (poll(&p, 1, int(zt::test::leftUntil(end).count())) <= 0 ||
          (n = read(master, buffer, sizeof buffer)) <= 0)
        return false;
      screen.append(buffer, size_t(n));
    }
    return true;
  }
  // The exit status, or -1 when it did not exit (then the destructor kills it).
  int finish() {
    type("", "\x01never", 15s);  // drain the output until the end
    int status = 0;
    pid_t ended = 0;
    for (int i = 0; i < 50 && (ended = waitpid(pid, &status, WNOHANG)) == 0; ++i) usleep(100000);
    if (ended != pid) return -1;
    pid = -1;  // reaped: nothing for the destructor to kill
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  pid_t pid = -1;
  int master = -1;
  std::string screen;
};

}  // namespace

TEST(Recorder, WritesBothSourcesForExactlyTheDuration) {
  for (const auto& [duration, samples] : {std::pair{"2.5", 40000u}, {"0.00001", 1u}}) {
    TempDir dir;
    const ProgramRun run = record(dir, sines(), {"--duration", duration, "--spectrogram"});
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    for (int i = 0; i < 2; ++i) {
      const std::string path = dir / ("out/" + std::string(kSources[i]) + ".wav");
      const std::vector<int16_t> wav = readWav(path);
      EXPECT_EQ(wav.size(), samples) << path;
      if (samples == 1 || wav.size() != samples) continue;
      EXPECT_NEAR(soxDuration(path), 2.5, 0.001) << path;
      EXPECT_EQ(readFile(dir / ("out/" + std::string(kSources[i]) + ".png")).substr(1, 3), "PNG");
      // Its own tone alone, sample by sample, past the converter's onset.
      const auto fit = zt::test::fitSine(wav, i ? 440 : 1000, 4000);
      EXPECT_NEAR(fit.amplitude, i ? 0.25 : 0.5, 0.01) << path;
      EXPECT_LT(fit.worstWindowResidual, 0.01) << path;
    }
  }
}

// Every way a recording fails, with what the recorder says: each error code
// the helper reports, explained with advice; a helper that cannot start, ends,
// dies or does not stop; a wrong command line.
struct Failure {
  std::string says;  // an error code, or words the recorder says
  json scenario;
  std::string helper = "";  // as record() takes it
  int status = 1;
  std::vector<std::string> args = {"--duration", "0.5"};
};

TEST(Recorder, ExplainsEveryFailureAndLeavesCompleteFilesOrNone) {
  const json fails = {{"error", {{"domain", "X"}, {"code", 5}}}};
  const std::string error = "read line\necho '{\"code\":\"SOMETHING_NEW\",\"event\":\"error\"}'\n";
  const Failure failures[] = {
      {"MICROPHONE_PERMISSION_DENIED", {{"microphoneStatus", 2}}},
      {"SCREEN_PERMISSION_DENIED", {{"screenPreflight", false}, {"screenRequest", false}}},
      {"MICROPHONE_UNAVAILABLE", {{"microphonePresent", false}}},
      {"MICROPHONE_UNAVAILABLE", {{"engines", {{"startFails", true}}}}},
      {"NO_DISPLAY", {{"displays", 0}}},
      {"SYSTEM_AUDIO_UNAVAILABLE", {{"content", fails}}},
      {"SYSTEM_AUDIO_UNAVAILABLE", sines({{"streams", {{"stopsByItselfAfterMs", 100}}}})},
      {"CAPTURE_START_FAILED", {{"streams", {{"start", fails}}}}},
      {"CAPTURE_TIMEOUT", {{"streams", {{"start", "never"}}}}},
      {"CAPTURE_STOP_FAILED", sines({{"streams", {{"stop", "error"}}}})},
      {"AUDIO_CONVERSION_FAILED", sines({{"converter", {{"failConvertAfter", 0}}}})},
      {"AUDIO_CONVERSION_FAILED", sines({{"converter", {{"failTail", true}}}})},
      {"cannot start the helper ", {}, "missing"},
      {"Permission denied", {}, "not executable"},
      {"ended without finishing the recording (exit status 3)", {}, kStarts + "exit 3\n"},
      {"killed by signal 9", {}, "read line\nkill -9 $$\n"},
      {"sent a line this recorder does not understand", {}, "read line\necho 'x'\n" + kEnds + "exit 1\n"},
      {"error SOMETHING_NEW: The helper reported an error this recorder does not know", {}, error + kEnds},
      {"No audio came from the microphone", {}, kStarts + kHalfSecond + kEnds, 0},
      // Ctrl-C twice, and the helper does not stop.
      {"abandoned", {}, kStarts + "for i in 1 2; do sleep .5; kill -INT $PPID; done; exec sleep 60\n", 130},
      {"--duration wants", {}, "", 2, {"--duration", "soon"}},
      {"--duration wants", {}, "", 2, {"-d", "0"}},
      {"-o needs a value", {}, "", 2, {"-fo"}},
      {"\"-x\"", {}, "", 2, {"--force", "-xf"}}};
  for (const Failure& f : failures) {
    SCOPED_TRACE(f.says);
    TempDir dir;
    const ProgramRun run = record(dir, f.scenario, f.args, f.helper);
    EXPECT_EQ(run.status, f.status) << run.out << run.err;
    const auto advice = zt::record::adviceFor(f.says);
    const bool code = f.says.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ_") == std::string::npos;
    const std::string all = run.out + run.err;
    EXPECT_NE(all.find(code ? "error " + f.says + ": " + advice.meaning : f.says), std::string::npos) << all;
    if (code) EXPECT_NE(run.err.find("What to do: " + advice.action), std::string::npos) << run.err;
    // A complete file with audio or a word why not; no partial file or empty folder.
    if (!exists(dir / "out/system.wav") && !exists(dir / "out/microphone.wav"))
      EXPECT_FALSE(exists(dir / "out"));
    for (const std::string name : kSources) {
      const std::string wav = dir / ("out/" + name + ".wav"), nothing = "No audio came from the " + name;
      EXPECT_FALSE(exists(dir / ("out/" + name + ".partial.wav"))) << name;
      EXPECT_TRUE(exists(wav)
                      ? !readWav(wav).empty()
                      : run.out.find(nothing) != std::string::npos ||
                            run.out.find("Nothing was recorded; no file written") != std::string::npos ||
                            f.helper == "missing" || f.helper == "not executable" || f.status == 2)
          << name << "\n"
          << run.out;
    }
  }
}

// Files of an earlier recording in the output folder: what stays, what it says.
struct Keep {
  std::vector<std::string> earlier;  // files there before, holding "earlier"
  const char* flag;
  std::string helper;  // as record() takes it
  int status;
  std::vector<std::string> replaced;  // earlier files that now hold the new recording
};

TEST(Recorder, KeepsEarlierRecordings) {
  const std::vector<std::string> both = {"system.wav", "microphone.wav"};
  const Keep keeps[] = {{{"microphone.wav"}, "-d1", "", 1, {}},
                        {{"system.partial.wav"}, "-d1", "", 1, {}},  // left by a killed run
                        {both, "-f", "", 0, both},
                        {both, "--force", "missing", 1, {}},
                        {both, "-y", kStarts + "exit 3\n", 1, {}},
                        {both, "-f", kStarts + kHalfSecond + kEnds, 0, {"system.wav"}},
                        {both, "-f", kStarts + kHalfSecond + "exit 3\n", 1, {}}};
  for (const Keep& c : keeps) {
    SCOPED_TRACE(c.flag + (" " + c.earlier[0]) + " " + c.helper);
    TempDir dir;
    ASSERT_TRUE(std::filesystem::create_directory(dir / "out"));
    for (const auto& name : c.earlier) writeFile(dir / ("out/" + name), "earlier");
    const ProgramRun run = record(dir, sines(), {c.flag, "--duration", "0.5"}, c.helper);
    EXPECT_EQ(run.status, c.status) << run.out << run.err;
    for (const auto& name : c.earlier) {
      const std::string path = dir / ("out/" + name);
      if (std::ranges::count(c.replaced, name)) {
        EXPECT_NEAR(wavSeconds(path), 0.5, 1e-9) << name;
      } else {
        EXPECT_EQ(readFile(path), "earlier") << name;
        // Kept beside a new recording, it is not taken for part of it.
        if (!c.replaced.empty())
          EXPECT_NE(run.out.find(path + " is from an earlier recording"), std::string::npos) << run.out;
      }
    }
    // What an unfinished recording got stays beside what it did not replace.
    if (c.helper.ends_with("exit 3\n") && c.helper.size() > kStarts.size() + 10)
      EXPECT_NEAR(wavSeconds(dir / "out/system.partial.wav"), 0.5, 1e-9);
    if (c.status == 1 && c.helper.empty()) {
      EXPECT_NE(run.err.find(dir / ("out/" + c.earlier[0]) + " exists"), std::string::npos) << run.err;
      // What --force would empty may be all that is left of a recording.
      EXPECT_EQ(run.err.find("cut short") != std::string::npos, c.earlier[0].ends_with(".partial.wav"))
          << run.err;
    }
  }
}

TEST(StatusLine, FitsEveryTerminalWidth) {
  const zt::record::Status status{754.3, -6, -INFINITY, "recording", true};
  for (int columns : {1, 12, 20, 40, 60, 80, 100, 132, 200}) {
    const std::string line = zt::record::StatusDisplay::compose(status, columns);
    EXPECT_LE(line.size(), size_t(columns - 1)) << columns << ": " << line;
    if (columns >= 9) EXPECT_EQ(line.rfind("12:34.3", 0), 0u) << columns << ": " << line;
    if (columns >= 80) EXPECT_NE(line.find("mic ["), std::string::npos) << columns << ": " << line;
    if (columns >= 132) EXPECT_NE(line.find("q: stop"), std::string::npos) << line;
  }
}

TEST(RecorderOnATerminal, KeysCtrlZAndCtrlCAlsoAfterTheShellsModeCameBack) {
  TempDir dir;
  Terminal term(dir);
  const termios before = term.mode();
  ASSERT_TRUE(term.type("", "  recording")) << term.screen;
  EXPECT_NE(term.screen.find("; space pauses, q stops)"), std::string::npos) << term.screen;
  const auto began = std::chrono::steady_clock::now();
  // Raw mode while recording: no line editing, no echo.
  EXPECT_EQ(term.mode().c_lflag & (ICANON | ECHO), 0u);
  // A shell puts its own mode back when a job stops under a signal it did not
  // expect (kill -STOP): lines arrive; continued, it takes single keys again.
  ASSERT_EQ(tcsetattr(term.master, TCSANOW, &before), 0);
  ASSERT_TRUE(term.type(" \n", "  paused")) << term.screen;
  ASSERT_EQ(kill(term.pid, SIGCONT), 0);
  usleep(300000);
  ASSERT_TRUE(term.type(" ", "  recording")) << term.screen;
  sleep(1);
  EXPECT_TRUE(term.type("\x1a", "Paused and stopped")) << term.screen;  // SIGTSTP
  int status = 0;
  ASSERT_EQ(waitpid(term.pid, &status, WUNTRACED), term.pid);
  ASSERT_TRUE(WIFSTOPPED(status));
  // The helper runs on meanwhile: its 3 s would land in the files unpaused.
  sleep(3);
  ASSERT_EQ(kill(term.pid, SIGCONT), 0);
  ASSERT_TRUE(term.type("", "  recording")) << term.screen;
  ASSERT_TRUE(term.type("\x03", "Stopping")) << term.screen;  // the terminal's SIGINT
  EXPECT_EQ(term.finish(), 130) << term.screen;
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
  for (const std::string name : kSources) {
    const double seconds = wavSeconds(dir / ("out/" + name + ".wav"));
    EXPECT_GT(seconds, 0.8) << name;
    EXPECT_LT(seconds, wall - 2.5) << name;
  }
  EXPECT_EQ(term.mode().c_lflag, before.c_lflag);
}

TEST(RecorderOnATerminal, RecordsInTheBackgroundAndTakesKeysAfterFg) {
  TempDir dir;
  Terminal term(dir, true);
  // Neither stopped by the terminal nor drawing over the shell's line.
  ASSERT_TRUE(term.type("", "(for 8 s; Ctrl-C stops)")) << term.screen;
  term.type("", "\x01never", 500ms);
  EXPECT_EQ(term.screen.find("\r\033[K"), std::string::npos) << term.screen;
  ASSERT_TRUE(term.type("fg\n", "  recording")) << term.screen;
  ASSERT_TRUE(term.type("q", "Saved")) << term.screen;
  EXPECT_EQ(term.finish(), 0) << term.screen;
  EXPECT_LT(wavSeconds(dir / "out/system.wav"), 7.0);
}
