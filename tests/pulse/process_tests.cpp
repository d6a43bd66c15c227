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

// The 150-3000 Hz chirp the players play, and at 16 kHz as the capture may
// sample it: 0, 1 or 2 samples of 48 kHz after those the player plays.
const std::vector<float> kSweep = chirp(150, 3000, 5, 48000);
const std::vector<std::vector<float>> kPhases = [] {
  std::vector<std::vector<float>> phases(3);
  for (size_t i = 0; i + 3 < kSweep.size(); ++i) phases[i % 3].push_back(kSweep[i]);
  return phases;
}();

// Where `x` holds the chirp's [from, from + n) at 16 kHz: offset (capture
// minus chirp index) and phase, searched around `around` (default: onset).
struct Fit {
  double ncc = 0;
  long offset = 0;
  int phase = 0;
};
Fit fitAt(const std::vector<float>& x, long from, long n, long around = -1, long span = 1600) {
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
    if (const double v = ncc(kPhases[0], o); v > best.ncc) best = Fit{v, o, 0};
  const long coarse = best.offset;
  for (int k = 0; k < 3; ++k)
    for (long o = coarse - 8; o <= coarse + 8; ++o)
      if (const double v = ncc(kPhases[k], o); v > best.ncc) best = Fit{v, o, k};
  return best;
}

// A fault, and the one error the session must end with.
struct Fault {
  const char* name;
  std::string action;  // "kill", or pactl commands separated by ';'
  std::string when;    // before "prepare" or "start", while "recording", or "paused" (then "resume")
  std::string code;
  std::string script = "";  // the server's
};
class PulseFaults : public ::testing::TestWithParam<Fault> {};

}  // namespace

// A stopped process (a debugger, a paused VM) and more busy processes than cores leave
// backlogs in the server, absorbed whole; large player buffers keep the players from skipping.
TEST(PulseHelper, StallsAndLoadLoseNothing) {
  PulseServer server;
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
      "load-module module-null-sink sink_name=speakers rate=48000 channels=2\n"
      "load-module module-remap-source source_name=virtualmic master=speakers.monitor rate=48000 channels=2\n"
      "set-default-sink speakers\nset-default-source virtualmic\n");
  ASSERT_TRUE(server.ready());
  std::vector<double> lossMs;
  for (int run = 0; run < 4; ++run) {
    Helper helper;
    ASSERT_TRUE(helper.start());
    helper.firstAudio();
    // Pieces smaller than a tap: the engine usually holds some at the stop.
    const pid_t player = server.play("speakers", kSweep, 20);
    helper.listen(std::chrono::milliseconds(1500 + 37 * run));
    auto audio = helper.stop();
    PulseServer::stopPlayer(player);
    // Where `x` ends in the chirp, placed by its first second (every run records it whole).
    const auto end = [](const std::vector<float>& x) {
      const Fit fit = fitAt(x, 0, 16000);
      EXPECT_GT(fit.ncc, 0.99);
      return long(x.size()) - fit.offset;
    };
    lossMs.push_back((end(audio["system"]) - end(audio["microphone"])) / 16.0);
  }
  // Each source loses only what the server still held at the stop (less
  // than a fragment, 40 and 50 ms), so the difference wanders by 5-15 ms;
  // the microphone's gathered reads left behind at every stop add 50-80.
#ifndef ZT_UNDER_SANITIZER  // several times slower there: no timing bound holds
  std::sort(lossMs.begin(), lossMs.end());
  EXPECT_LE((lossMs[1] + lossMs[2]) / 2, 20) << ::testing::PrintToString(lossMs);
#endif
}

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
        Fault{"ServerKilled", "kill", "recording", "SYSTEM_AUDIO_UNAVAILABLE"},
        Fault{"ServerKilledWhilePaused", "kill", "paused", "SYSTEM_AUDIO_UNAVAILABLE"},
        Fault{"NoServerAtPrepare", "kill", "prepare", "SYSTEM_AUDIO_UNAVAILABLE"},
        Fault{"MicrophoneUnloaded", "unload-module module-remap-source", "recording",
              "MICROPHONE_UNAVAILABLE"},
        Fault{"MicrophoneUnloadedBeforeStart", "unload-module module-remap-source", "start",
              "MICROPHONE_UNAVAILABLE"},
        Fault{"NewDefaultMicrophone",
              "load-module module-sine-source source_name=othermic rate=48000;set-default-source othermic",
              "recording", "MICROPHONE_UNAVAILABLE"},
        Fault{"MonitorAsMicrophone", "set-default-source speakers.monitor", "prepare",
              "MICROPHONE_UNAVAILABLE"},
        Fault{"OnlyOutputUnloaded", "unload-module module-null-sink", "recording", "SYSTEM_AUDIO_UNAVAILABLE",
              "load-module module-null-sink sink_name=speakers rate=48000 channels=2\n"
              "load-module module-sine-source source_name=virtualmic rate=48000 frequency=440\n"
              "set-default-sink speakers\nset-default-source virtualmic\n"},
        Fault{"NoOutputAtPrepare", "", "prepare", "NO_DISPLAY",
              "load-module module-sine-source source_name=virtualmic rate=48000\n"}),
    [](const auto& info) { return std::string(info.param.name); });

// The helper follows the default output to one that exists already while a
// player with the server's default (two-second) buffer plays the chirp.
TEST(PulseHelper, OutputSwitchKeepsWhatWasPlayed) {
  PulseServer server;
  ASSERT_TRUE(server.ready());
  ASSERT_EQ(server.pactl("load-module module-null-sink sink_name=headphones rate=48000 channels=2"), 0);
  Helper helper;
  ASSERT_TRUE(helper.start());
  helper.firstAudio();
  const pid_t player = server.play("speakers", kSweep, 0);
  helper.listen(1000ms);
  // PipeWire's session manager may settle a choice of its own first.
  std::string sink;
  EXPECT_TRUE(waitUntil(
      [&] {
        server.pactl("set-default-sink headphones");
        return server.pactl("get-default-sink", &sink) == 0 && sink == "headphones\n";
      },
      10s));
  EXPECT_TRUE(waitProcess(player, 30s));
  helper.listen(1000ms);
  auto x = helper.stop()["system"];
  PulseServer::stopPlayer(player);
  // A stretch 200 ms in (a player's first moments may come late) and the
  // last second, placed on their own; between them lies the switch, which
  // may have lost time (the last second then lies earlier) or added some.
  const long n = long(kPhases[0].size()), skip = 3200;
  const Fit before = fitAt(x, skip, 8000, fitAt(x, 0, 16000).offset, 400);
  const Fit after = fitAt(x, n - 16000, 16000, before.offset, 40000);
  ASSERT_GT(before.ncc, 0.99);
  ASSERT_GT(after.ncc, 0.99);
  const double lostMs = (before.offset - after.offset) / 16.0;
  // Whether the 10 ms block at reference index `i` is in `x` where `fit` places it.
  const auto matches = [&](const Fit& fit, long i) {
    double err = 0, energy = 0;
    for (long k = i, j = i + fit.offset; k < i + 160; ++k, ++j) {
      if (j < 0 || j >= long(x.size())) return false;
      const double r = kPhases[fit.phase][k];
      err += (x[j] - r) * (x[j] - r), energy += r * r;
    }
    return err < 0.003 * energy;
  };
  // Block by block: where it was before the switch, then where it is after.
  int joinBlocks = 0;
  bool moved = false;
  for (long i = skip; i + 160 <= n; i += 160) {
    const bool old = matches(before, i), now = matches(after, i);
    moved = moved || (now && !old);
    if (old && moved && !now) ADD_FAILURE() << "audio from before the switch again at " << i / 16 << " ms";
    joinBlocks += !old && !now;
  }
  std::printf("[ measure  ] lost %.1f ms at the switch, %d blocks of 10 ms unlike what was played\n", lostMs,
              joinBlocks);
#ifndef ZT_UNDER_SANITIZER  // several times slower there: no timing bound holds
  EXPECT_LE(lostMs, 30);
  EXPECT_GE(lostMs, -30) << "time added at the switch";
  // The join places both streams by when their reads arrived: 1-4 blocks
  // around it differ on a quiet machine, up to 7 under load.
  EXPECT_LE(joinBlocks, 10 + std::max(0.0, lostMs) / 10);
#endif
}
