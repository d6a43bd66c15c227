// The helper as a host runs it, against private servers playing known
// signals, checked sample by sample.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "pulse/pulse_server.h"
#include "support/audio_events.h"
#include "support/child_process.h"

using namespace zt::test;
using namespace zt::test::pulse;
using namespace std::chrono_literals;

namespace {

std::string eventOf(const std::optional<std::string>& line) {
  if (!line) return "<none>";
  const auto j = nlohmann::json::parse(*line, nullptr, false);
  if (j.is_discarded()) return "<bad>";
  const std::string event = j.value("event", "");
  return event == "state" ? j.value("state", "") : event == "error" ? "error:" + j.value("code", "") : event;
}

// The helper as a host runs it.
struct Helper {
  Child child{ZT_HELPER_PATH};

  bool command(const std::string& word, const std::string& expected) {
    child.send(word);
    const std::string got = eventOf(child.nextControl(20s));
    EXPECT_EQ(got, expected) << word;
    return got == expected;
  }
  bool start() { return command("prepare", "prepared") && command("start", "recording"); }
  // Reads audio for `duration`; any other event is a failure.
  void listen(std::chrono::milliseconds duration) {
    const auto line = child.nextControl(duration);
    EXPECT_FALSE(line) << *line;
  }
  // An idle null sink hands its first block up to 2 s late (parec too), so
  // signals are played only once audio comes.
  void firstAudio() {
    for (int i = 0; i < 150 && child.audio.empty(); ++i) listen(100ms);
    EXPECT_FALSE(child.audio.empty());
  }
  // "stop" and a clean end; answers the audio of each source.
  std::map<std::string, std::vector<float>> stop() {
    child.send("stop");
    EXPECT_EQ(child.finish(30s), 0);
    EXPECT_EQ(child.remaining.empty() ? "" : eventOf(child.remaining.back()), "ended");
    EXPECT_EQ(child.stderrText(), "");
    std::map<std::string, std::vector<float>> out;
    for (const auto& line : child.audio)
      if (const auto event = parseAudioEvent(line))
        for (int16_t sample : event->samples) out[event->source].push_back(sample / 32768.0f);
    return out;
  }
};

// The 150-3000 Hz chirp at 16 kHz as the capture may sample it: 0, 1 or 2
// samples of 48 kHz after those the player plays.
constexpr double kSweepSeconds = 5.0;
std::vector<std::vector<float>> chirpPhases() {
  std::vector<std::vector<float>> phases(3, std::vector<float>(size_t(kSweepSeconds * 16000) - 1));
  for (int k = 0; k < 3; ++k)
    for (size_t i = 0; i < phases[k].size(); ++i) {
      const double t = (3.0 * i + k) / 48000;
      phases[k][i] = float(0.5 * std::sin(2 * M_PI * (150 * t + 0.5 * 2850 / kSweepSeconds * t * t)));
    }
  return phases;
}

// Where `x` holds the reference's [from, from + n): offset (capture minus
// reference index) and phase, searched around `around` (default: onset).
struct Fit {
  double ncc = 0;
  long offset = 0;
  int phase = 0;
};
Fit fitAt(const std::vector<float>& x, const std::vector<std::vector<float>>& refs, long from, long n,
          long around = -1, long span = 1600) {
  auto ncc = [&](const std::vector<float>& r, long offset) {
    double xy = 0, xx = 0, yy = 0;
    for (long i = from; i < from + n; ++i) {
      const long j = i + offset;
      const double a = j >= 0 && j < long(x.size()) ? x[j] : 0.0, b = r[i];
      xy += a * b, xx += a * a, yy += b * b;
    }
    return xx > 0 ? xy / std::sqrt(xx * yy) : 0.0;
  };
  if (around < 0)
    around = std::find_if(x.begin(), x.end(), [](float v) { return std::fabs(v) > 0.2f; }) - x.begin();
  Fit best;
  for (long o = around - span; o <= around + span; o += 2)
    if (const double v = ncc(refs[0], o); v > best.ncc) best = Fit{v, o, 0};
  const long coarse = best.offset;
  for (int k = 0; k < 3; ++k)
    for (long o = coarse - 8; o <= coarse + 8; ++o)
      if (const double v = ncc(refs[k], o); v > best.ncc) best = Fit{v, o, k};
  return best;
}

// Whether the 10 ms block at reference index `i` is in `x` at `offset`.
bool blockMatches(const std::vector<float>& x, const std::vector<float>& ref, long i, long offset) {
  double err = 0, energy = 0;
  for (long k = i; k < i + 160; ++k) {
    const long j = k + offset;
    if (j < 0 || j >= long(x.size())) return false;
    err += (x[j] - ref[k]) * (x[j] - ref[k]), energy += ref[k] * ref[k];
  }
  return err < 0.003 * energy;
}

}  // namespace

// A stopped process (a debugger, a paused VM) and more busy processes than
// cores leave backlogs in the server; the recording absorbs them whole. The
// players' large buffers keep the load from making them skip.
TEST(PulseHelper, StallsAndLoadLoseNothing) {
  PulseServer server(standardScript());
  ASSERT_TRUE(server.ready());
  const pid_t players[] = {server.play("speakers", tone(1000, 120, 48000), 200),
                           server.play("micsink", tone(600, 120, 48000), 200)};
  Helper helper;
  ASSERT_TRUE(helper.start());
  helper.firstAudio();
  helper.listen(500ms);
  for (int stall = 0; stall < 3; ++stall) {
    helper.child.signal(SIGSTOP);
    std::this_thread::sleep_for(300ms);
    helper.child.signal(SIGCONT);
    helper.listen(700ms);
  }
  std::vector<pid_t> load;
  for (int i = 0; i < 8; ++i) load.push_back(startQuiet({"sha256sum", "/dev/zero"}));
  helper.listen(3s);
  for (pid_t pid : load) endProcess(pid);
  helper.listen(300ms);
  auto audio = helper.stop();
  for (pid_t p : players) PulseServer::stopPlayer(p);
  for (const auto& [source, mine, other] : {std::tuple{"system", 1000, 600}, {"microphone", 600, 1000}}) {
    EXPECT_GT(audio[source].size(), 16000u * 4) << source;
    // From 400 ms in, before the first stall: PipeWire may shift its remapped
    // monitor by a sample as the standby on it connects.
    EXPECT_EQ(toneBreaks(audio[source], mine, 16000, 6400), std::vector<size_t>{}) << source;
    EXPECT_LT(toneLevel(audio[source], other, 16000), 0.01) << source;
  }
}

// Both sources record the same output here, so where each ends in the
// played chirp tells what the stop lost of the microphone's last tap.
TEST(PulseHelper, StopKeepsTheMicrophonesLastPiece) {
  if (onPipeWire()) GTEST_SKIP() << "PipeWire's remapped monitor of the default output records nothing";
  PulseServer server(
      "load-module module-native-protocol-unix auth-anonymous=1 socket=@DIR@/native\n"
      "load-module module-null-sink sink_name=speakers rate=48000 channels=2\n"
      "load-module module-remap-source source_name=virtualmic master=speakers.monitor rate=48000 channels=2\n"
      "set-default-sink speakers\nset-default-source virtualmic\n");
  ASSERT_TRUE(server.ready());
  const auto refs = chirpPhases();
  std::vector<double> lossMs;
  for (int run = 0; run < 4; ++run) {
    Helper helper;
    ASSERT_TRUE(helper.start());
    helper.firstAudio();
    // Pieces smaller than a tap: the engine usually holds some at the stop.
    const pid_t player = server.play("speakers", chirp(150, 3000, kSweepSeconds, 48000), 20);
    helper.listen(std::chrono::milliseconds(1500 + 37 * run));
    auto audio = helper.stop();
    PulseServer::stopPlayer(player);
    // The first second is what every run records whole; it places the start.
    const Fit sys = fitAt(audio["system"], refs, 0, 16000), mic = fitAt(audio["microphone"], refs, 0, 16000);
    ASSERT_GT(sys.ncc, 0.99);
    ASSERT_GT(mic.ncc, 0.99);
    lossMs.push_back(
        ((long(audio["system"].size()) - sys.offset) - (long(audio["microphone"].size()) - mic.offset)) /
        16.0);
  }
  // The two record streams read up to a wakeup spacing apart, so one run's
  // difference wanders by 10-15 ms either way; a tap's part left behind at
  // every stop (0 to 21 ms) moves the median.
#ifndef ZT_UNDER_SANITIZER  // several times slower there: no timing bound holds
  std::sort(lossMs.begin(), lossMs.end());
  EXPECT_LE((lossMs[1] + lossMs[2]) / 2, 7.5) << ::testing::PrintToString(lossMs);
#endif
}

namespace {

// A fault, and the one error the session must end with.
struct Fault {
  const char* name;
  std::string script;  // the server's
  std::string action;  // "kill", or pactl commands separated by ';'
  std::string when;    // before "prepare" or "start", while "recording", or "paused" (then "resume")
  std::string code;
};

class PulseFaults : public ::testing::TestWithParam<Fault> {};

}  // namespace

TEST_P(PulseFaults, EndTheSessionWithOneError) {
  const Fault& f = GetParam();
  // PipeWire's PulseAudio server has no sine source, and its session
  // manager makes a stand-in output whenever none is left.
  if (onPipeWire() && (f.script + f.action).find("sine") != std::string::npos)
    GTEST_SKIP() << "needs a sine source or a server with no output at all";
  PulseServer server(f.script);
  ASSERT_TRUE(server.ready());
  Helper helper;
  if (f.when == "start") ASSERT_TRUE(helper.command("prepare", "prepared"));
  if (f.when == "recording" || f.when == "paused") ASSERT_TRUE(helper.start());
  if (f.when == "paused") ASSERT_TRUE(helper.command("pause", "paused"));
  if (f.when == "recording" || f.when == "paused") helper.listen(800ms);
  if (f.action == "kill") server.kill();
  std::stringstream commands(f.action == "kill" ? "" : f.action);
  for (std::string command; std::getline(commands, command, ';');)
    ASSERT_EQ(server.pactl(command), 0) << command;
  if (f.when != "recording") helper.child.send(f.when == "paused" ? "resume" : f.when);
  // One error, then "ended" and status 1, promptly.
  const auto begin = std::chrono::steady_clock::now();
  EXPECT_EQ(helper.child.finish(30s), 1);
  EXPECT_LT(std::chrono::steady_clock::now() - begin, 10s);
  std::vector<std::string> events;
  for (const auto& line : helper.child.remaining) events.push_back(eventOf(line));
  EXPECT_EQ(events, (std::vector<std::string>{"error:" + f.code, "ended"}));
  EXPECT_EQ(helper.child.stderrText(), "");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PulseFaults,
    ::testing::Values(
        // A lost server is named once, the same way, whichever connection notices first.
        Fault{"ServerKilled", standardScript(), "kill", "recording", "SYSTEM_AUDIO_UNAVAILABLE"},
        Fault{"ServerKilledWhilePaused", standardScript(), "kill", "paused", "SYSTEM_AUDIO_UNAVAILABLE"},
        Fault{"NoServerAtPrepare", standardScript(), "kill", "prepare", "SYSTEM_AUDIO_UNAVAILABLE"},
        Fault{"MicrophoneUnloaded", standardScript(), "unload-module module-remap-source", "recording",
              "MICROPHONE_UNAVAILABLE"},
        Fault{"MicrophoneUnloadedBeforeStart", standardScript(), "unload-module module-remap-source", "start",
              "MICROPHONE_UNAVAILABLE"},
        Fault{"NewDefaultMicrophone", standardScript(),
              "load-module module-sine-source source_name=othermic rate=48000;set-default-source othermic",
              "recording", "MICROPHONE_UNAVAILABLE"},
        Fault{"MonitorAsMicrophone", standardScript(), "set-default-source speakers.monitor", "prepare",
              "MICROPHONE_UNAVAILABLE"},
        Fault{"OnlyOutputUnloaded", sineMicScript(), "unload-module module-null-sink", "recording",
              "SYSTEM_AUDIO_UNAVAILABLE"},
        Fault{"NoOutputAtPrepare",
              "load-module module-native-protocol-unix auth-anonymous=1 socket=@DIR@/native\n"
              "load-module module-sine-source source_name=virtualmic rate=48000\n",
              "", "prepare", "NO_DISPLAY"}),
    [](const auto& info) { return std::string(info.param.name); });

namespace {

// Whether the output to switch to exists already; else it appears and
// becomes the default at once.
class OutputSwitch : public testing::TestWithParam<bool> {};

}  // namespace

// The helper follows the default output while a player with the server's
// default (two-second) buffer plays the chirp.
TEST_P(OutputSwitch, KeepsWhatWasPlayed) {
  PulseServer server(standardScript());
  ASSERT_TRUE(server.ready());
  const std::string load = "load-module module-null-sink sink_name=headphones rate=48000 channels=2";
  if (GetParam()) ASSERT_EQ(server.pactl(load), 0);
  Helper helper;
  ASSERT_TRUE(helper.start());
  helper.firstAudio();
  const pid_t player = server.play("speakers", chirp(150, 3000, kSweepSeconds, 48000), 0);
  helper.listen(1000ms);
  if (!GetParam()) ASSERT_EQ(server.pactl(load), 0);
  // PipeWire's session manager may settle a choice of its own first.
  EXPECT_TRUE(waitUntil(
      [&] {
        std::string info;
        server.pactl("set-default-sink headphones");
        return server.pactl("info", &info) == 0 &&
               info.find("Default Sink: headphones\n") != std::string::npos;
      },
      10s));
  EXPECT_TRUE(PulseServer::waitPlayer(player, 30s));
  helper.listen(1000ms);
  auto x = helper.stop()["system"];
  PulseServer::stopPlayer(player);
  // A stretch 200 ms in (a player's first moments may come late) and the
  // last second, placed on their own; between them lies the switch, which
  // may have lost time (the last second then lies earlier) or added some.
  const auto refs = chirpPhases();
  const long n = long(refs[0].size()), skip = 3200;
  const Fit before = fitAt(x, refs, skip, 8000, fitAt(x, refs, 0, 16000).offset, 400);
  const Fit after = fitAt(x, refs, n - 16000, 16000, before.offset, 40000);
  ASSERT_GT(before.ncc, 0.99);
  ASSERT_GT(after.ncc, 0.99);
  const double lostMs = (before.offset - after.offset) / 16.0;
  // Block by block: where it was before the switch, then where it is after.
  int joinBlocks = 0;
  bool moved = false;
  for (long i = skip; i + 160 <= n; i += 160) {
    const bool old = blockMatches(x, refs[before.phase], i, before.offset);
    const bool now = blockMatches(x, refs[after.phase], i, after.offset);
    moved = moved || (now && !old);
    if (old && moved && !now) ADD_FAILURE() << "audio from before the switch again at " << i / 16 << " ms";
    joinBlocks += !old && !now;
  }
  std::printf("[ measure  ] lost %.1f ms at the switch, %d blocks of 10 ms unlike what was played\n", lostMs,
              joinBlocks);
#ifndef ZT_UNDER_SANITIZER  // several times slower there: no timing bound holds
  EXPECT_LE(lostMs, GetParam() ? 30 : 1e9);
  EXPECT_GE(lostMs, -30) << "time added at the switch";
  // The join places both streams by when their reads arrived: 1-4 blocks
  // around it differ on a quiet machine, up to 7 under load.
  EXPECT_LE(joinBlocks, 10 + std::max(0.0, lostMs) / 10);
#endif
}

INSTANTIATE_TEST_SUITE_P(Pulse, OutputSwitch, testing::Values(true), [](auto&) { return "existing"; });
// A measurement (--gtest_also_run_disabled_tests): PulseAudio moves the
// players as the output appears, which renders as far ahead as they allow
// before any client can be on its monitor.
INSTANTIATE_TEST_SUITE_P(DISABLED_Measure, OutputSwitch, testing::Values(false),
                         [](auto&) { return "appearing"; });
