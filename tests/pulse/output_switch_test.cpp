// The helper following the default output while a player with the server's
// default (two-second) buffer plays a chirp: what the capture hands over is
// checked sample by sample against what was played, before and after the
// switch.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <thread>

#include "pulse/pulse_server.h"
#include "support/audio_events.h"
#include "support/child_process.h"

using namespace zt::test;
using namespace zt::test::pulse;
using namespace std::chrono_literals;

namespace {

constexpr double kSeconds = 5.0;
constexpr long kBlock = 160;  // 10 ms at 16 kHz

std::string stateOf(const std::optional<std::string>& line) {
  if (!line) return "<none>";
  const auto j = nlohmann::json::parse(*line, nullptr, false);
  if (j.is_discarded()) return "<bad>";
  return j.value("state", j.value("event", ""));
}

// pacat with no latency asked for: the server's default buffer.
pid_t playDefaultBuffer(const std::string& sink, const std::string& file) {
  return startQuiet({"pacat", "--playback", "-d", sink, "--raw", "--format=float32le", "--rate=48000",
                     "--channels=1", file});
}

// The chirp at 16 kHz as the capture may sample it: 0, 1 or 2 samples of
// 48 kHz after the samples played.
std::vector<std::vector<float>> chirpPhases() {
  std::vector<std::vector<float>> phases;
  const double sweep = (3000.0 - 150.0) / kSeconds;
  for (int k = 0; k < 3; ++k) {
    std::vector<float> x(static_cast<size_t>(kSeconds * 16000) - 1);
    for (size_t i = 0; i < x.size(); ++i) {
      const double t = (3.0 * i + k) / 48000;
      x[i] = static_cast<float>(0.5 * std::sin(2 * M_PI * (150 * t + 0.5 * sweep * t * t)));
    }
    phases.push_back(std::move(x));
  }
  return phases;
}

// Where the capture holds the reference's samples [from, from + n): its
// offset (capture index minus reference index) and phase, searched over
// `span` either way of `around`.
struct Fit {
  double ncc = 0;
  long offset = 0;
  int phase = 0;
};
Fit fitAt(const std::vector<float>& x, const std::vector<std::vector<float>>& refs, long from, long n,
          long around, long span) {
  auto ncc = [&](const std::vector<float>& r, long offset) {
    double xy = 0, xx = 0, yy = 0;
    for (long i = from; i < from + n; ++i) {
      const long j = i + offset;
      const double a = j >= 0 && j < static_cast<long>(x.size()) ? x[j] : 0.0, b = r[i];
      xy += a * b, xx += a * a, yy += b * b;
    }
    return xx > 0 ? xy / std::sqrt(xx * yy) : 0.0;
  };
  Fit best;
  for (long o = around - span; o <= around + span; o += 2)
    if (const double v = ncc(refs[0], o); v > best.ncc) best = Fit{v, o, 0};
  const long coarse = best.offset;
  for (int k = 0; k < 3; ++k)
    for (long o = coarse - 8; o <= coarse + 8; ++o)
      if (const double v = ncc(refs[k], o); v > best.ncc) best = Fit{v, o, k};
  return best;
}

// Whether the capture's 10 ms block at reference index `i` is the
// reference's, placed by `fit`.
bool blockMatches(const std::vector<float>& x, const std::vector<float>& ref, long i, long offset) {
  double err = 0, energy = 0;
  for (long k = i; k < i + kBlock; ++k) {
    const long j = k + offset;
    if (j < 0 || j >= static_cast<long>(x.size())) return false;
    err += (x[j] - ref[k]) * (x[j] - ref[k]), energy += ref[k] * ref[k];
  }
  return err < 0.003 * energy;
}

void setDefault(PulseServer& server, const std::string& sink) {
  // PipeWire's session manager may settle a choice of its own first.
  EXPECT_TRUE(waitUntil(
      [&] {
        std::string info;
        server.pactl("set-default-sink " + sink);
        return server.pactl("info", &info) == 0 &&
               info.find("Default Sink: " + sink + "\n") != std::string::npos;
      },
      10s));
}

struct SwitchCase {
  const char* name;
  bool outputExists;    // else it appears and becomes the default at once
  double maxLossMs;     // what may be lost at the switch
  int stopAfterMs = 0;  // when set, the stop comes this long after the switch
};

void PrintTo(const SwitchCase& c, std::ostream* os) { *os << c.name; }

class OutputSwitch : public testing::TestWithParam<SwitchCase> {};

TEST_P(OutputSwitch, KeepsWhatWasPlayed) {
  const SwitchCase& c = GetParam();
  PulseServer server(standardScript());
  ASSERT_TRUE(server.ready());
  writeRaw(server.dir() + "/chirp.raw", chirp(150, 3000, kSeconds, 48000));
  const std::string load = "load-module module-null-sink sink_name=headphones rate=48000 channels=2";
  if (c.outputExists) ASSERT_EQ(server.pactl(load), 0);
  Child child(ZT_HELPER_PATH);
  child.send("prepare");
  ASSERT_EQ(stateOf(child.nextControl(20s)), "prepared");
  child.send("start");
  ASSERT_EQ(stateOf(child.nextControl(20s)), "recording");
  // An idle null sink hands its first block up to 2 s late.
  ASSERT_FALSE(child.nextControl(300ms));
  ASSERT_TRUE(waitUntil([&] { return !child.nextControl(10ms) && !child.audio.empty(); }, 15s));
  const pid_t player = playDefaultBuffer("speakers", server.dir() + "/chirp.raw");
  const auto playing = std::chrono::steady_clock::now();
  ASSERT_FALSE(child.nextControl(1000ms));
  if (!c.outputExists) ASSERT_EQ(server.pactl(load), 0);
  setDefault(server, "headphones");
  if (c.stopAfterMs) {
    // A stop while the old output's audio is still being joined to the
    // new one's: what the new output played up to the stop still comes.
    const auto played = std::chrono::steady_clock::now() - playing;
    std::this_thread::sleep_for(std::chrono::milliseconds(c.stopAfterMs));
    child.send("stop");
    EXPECT_EQ(child.finish(30s), 0);
    PulseServer::stopPlayer(player);
    std::vector<float> x;
    for (const auto& line : child.audio)
      if (const auto event = parseAudioEvent(line); event && event->source == "system")
        for (int16_t s : event->samples) x.push_back(s / 32768.0f);
    const auto ref = chirpPhases()[0];
    const Match head = findSignal(x, std::vector<float>(ref.begin(), ref.begin() + 16000));
    ASSERT_GT(head.ncc, 0.9);
    const double capturedMs = (static_cast<long>(x.size()) - head.offset) / 16.0;
    const double expectedMs = std::chrono::duration<double, std::milli>(played).count() + c.stopAfterMs;
    std::printf("[ measure  ] %s: %.0f ms of the chirp captured, about %.0f ms played\n", c.name, capturedMs,
                expectedMs);
    EXPECT_GT(capturedMs, expectedMs - 100);
    return;
  }
  EXPECT_TRUE(PulseServer::waitPlayer(player, 30s));
  const auto late = child.nextControl(1000ms);
  EXPECT_FALSE(late) << *late;
  child.send("stop");
  EXPECT_EQ(child.finish(30s), 0);
  ASSERT_FALSE(child.remaining.empty());
  EXPECT_EQ(stateOf(child.remaining.back()), "ended");
  EXPECT_EQ(child.stderrText(), "");

  std::vector<float> x;
  for (const auto& line : child.audio)
    if (const auto event = parseAudioEvent(line); event && event->source == "system")
      for (int16_t s : event->samples) x.push_back(s / 32768.0f);
  const auto refs = chirpPhases();
  const long n = static_cast<long>(refs[0].size());
  // A player's first moments may come in late: the checks start 200 ms in.
  constexpr long kSkip = 3200;
  const Match head = findSignal(x, std::vector<float>(refs[0].begin(), refs[0].begin() + 16000));
  ASSERT_GT(head.ncc, 0.9);
  // A stretch before the switch and the last second, placed on their own;
  // between them lies the switch, which may have lost time (the last
  // second then lies earlier) or added some.
  const Fit before = fitAt(x, refs, kSkip, 8000, head.offset, 400);
  const Fit after = fitAt(x, refs, n - 16000, 16000, before.offset, 40000);
  ASSERT_GT(before.ncc, 0.99);
  ASSERT_GT(after.ncc, 0.99);
  const double lostMs = (before.offset - after.offset) / 16.0;
  RecordProperty("lost_at_switch_ms", std::to_string(lostMs));
  // Sample by sample: every block is the reference where it was before the
  // switch, then where it is after, apart from the few around the join.
  int joinBlocks = 0;
  std::string unlike;
  bool switched = false;
  for (long i = kSkip; i + kBlock <= n; i += kBlock) {
    const bool old = blockMatches(x, refs[before.phase], i, before.offset);
    const bool now = blockMatches(x, refs[after.phase], i, after.offset);
    if (now && !old) switched = true;
    if (old && switched && !now) ADD_FAILURE() << "audio from before the switch again at " << i / 16 << " ms";
    if (!old && !now) ++joinBlocks, unlike += " " + std::to_string(i / 16);
  }
  std::printf("[ measure  ] %s: lost at the switch %.1f ms, %d blocks of 10 ms unlike what was played\n",
              c.name, lostMs, joinBlocks);
#ifndef ZT_UNDER_SANITIZER  // several times slower there: no timing bound holds
  EXPECT_LE(lostMs, c.maxLossMs);
  EXPECT_GE(lostMs, -30) << "time added at the switch";
  // The join places both streams by when their reads arrived: 1-4 blocks
  // around it differ on a quiet machine, up to 7 under load.
  EXPECT_LE(joinBlocks, 10 + std::max(0.0, lostMs) / 10)
      << "blocks unlike what was played, at (ms):" << unlike;
#endif
}

INSTANTIATE_TEST_SUITE_P(Pulse, OutputSwitch,
                         testing::Values(SwitchCase{"existing", true, 30}, SwitchCase{"stop", true, 30, 60}),
                         [](const auto& info) { return std::string(info.param.name); });
// A measurement (--gtest_also_run_disabled_tests): PulseAudio moves the
// players as the output appears, and that output renders as far ahead as
// they allow before any client can be on its monitor.
INSTANTIATE_TEST_SUITE_P(DISABLED_Measure, OutputSwitch, testing::Values(SwitchCase{"appearing", false, 1e9}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
