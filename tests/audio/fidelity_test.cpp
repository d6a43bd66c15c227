// Signal fidelity end to end: captured buffers of every sample type and
// common rate, in buffers of uneven sizes and with a format change midway,
// through ZTConverter, the framing and a real output, must come out as one
// continuous 16 kHz signal of the right length.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <numbers>
#include <optional>

#include "audio/ZTConverter.h"
#include "audio/output_capture.h"
#include "audio/pcm_fixtures.h"
#include "audio/test_platform.h"

namespace zt {
namespace {

using platform::AudioFormat;
using platform::SampleType;
using test::OutputCapture;

constexpr double kPi = std::numbers::pi;
constexpr double kAmplitude = 0.5;
constexpr double kFullScale = 32768;
constexpr double kToneHz = 1000;
constexpr double kRadiansPerOutputSample = 2 * kPi * kToneHz / 16000;
// Silence is assumed before the start, after the end and around a format
// change, so the filter's response to those edges spreads over this many
// output samples on either side; the signal is held to a looser bound there.
constexpr size_t kEdgeSamples = 256;
// Steady-state error allowed against the fitted tone: rounding of the input
// (for Int16) and of the output, and the filter's 20-bit precision.
constexpr double kSteadyToleranceLsb = 3;
// Near an edge the truncated filter deviates from the tone, but every edge
// here falls on a zero crossing of the tone, where it deviates little: a
// click would not.
constexpr double kEdgeToleranceFraction = 0.1;
// Buffer sizes cycled through: the smallest, the tap sizes, odd sizes, the
// largest allowed.
constexpr uint32_t kBufferSizes[] = {1, 480, 7, 1024, 441, 4096, 160, 16384, 333, 2048, 4410, 97};

struct Segment {
  AudioFormat format;
  double seconds;
};

using Signal = std::function<double(double seconds)>;

// Feeds the segments one after another, each in buffers of cycling sizes,
// with the signal continuing in absolute time across them; answers every
// sample that came out, tail included.
std::vector<int16_t> convertSegments(const std::vector<Segment>& segments, const Signal& signal) {
  test::TestPlatform platform;
  OutputCapture capture;
  ZTConverter converter(platform);
  std::vector<int16_t> out;
  double startSeconds = 0;
  size_t sizeIndex = 0;
  for (const Segment& segment : segments) {
    const double rate = segment.format.sampleRate;
    const auto frames = static_cast<uint64_t>(std::llround(segment.seconds * rate));
    const auto fn = [&](uint32_t, uint64_t frame) { return signal(startSeconds + frame / rate); };
    for (uint64_t at = 0; at < frames;) {
      const auto n = static_cast<uint32_t>(
          std::min<uint64_t>(kBufferSizes[sizeIndex++ % std::size(kBufferSizes)], frames - at));
      EXPECT_TRUE(converter.convert(test::makeBuffer(segment.format, n, fn, at), "system", capture.output()));
      at += n;
    }
    const auto events = capture.takeAudio();
    for (const auto& event : events) EXPECT_EQ(event.source, "system");
    const auto samples = OutputCapture::samples(events);
    out.insert(out.end(), samples.begin(), samples.end());
    startSeconds += segment.seconds;
  }
  EXPECT_TRUE(converter.finishSource("system", capture.output()));
  const auto tail = OutputCapture::samples(capture.takeAudio());
  out.insert(out.end(), tail.begin(), tail.end());
  return out;
}

double sineAt(double seconds) { return kAmplitude * std::sin(2 * kPi * kToneHz * seconds); }

// Checks the output against a tone fitted to each segment (which aligns for
// the filter's delay): same level and same delay in every segment, so no
// samples were lost or repeated at a boundary, and every sample on the tone.
void expectContinuousTone(const std::vector<int16_t>& out, const std::vector<Segment>& segments,
                          const std::string& label) {
  double totalSeconds = 0;
  for (const Segment& s : segments) totalSeconds += s.seconds;
  ASSERT_NEAR(static_cast<double>(out.size()), totalSeconds * 16000, 4) << label;

  size_t begin = 0;
  std::optional<double> firstDelay;
  for (size_t i = 0; i < segments.size(); ++i) {
    const size_t end =
        i + 1 == segments.size() ? out.size() : begin + std::llround(segments[i].seconds * 16000);
    const test::ToneFit fit =
        test::fitTone(out, begin + kEdgeSamples, end - kEdgeSamples, kRadiansPerOutputSample);
    EXPECT_NEAR(fit.amplitude, kAmplitude * kFullScale, kAmplitude * kFullScale * 0.001)
        << label << " segment " << i;
    EXPECT_NEAR(fit.offset, 0, 1) << label << " segment " << i;
    // The fitted phase as a delay in output samples.
    const double delay = std::remainder(-fit.phase, 2 * kPi) / kRadiansPerOutputSample;
    if (!firstDelay) firstDelay = delay;
    EXPECT_NEAR(delay, *firstDelay, 0.02) << label << " segment " << i << " is shifted against the first";

    double steadyWorst = 0;
    double edgeWorst = 0;
    for (size_t k = begin; k < end; ++k) {
      const double error = std::abs(out[k] - test::toneValue(fit, k, kRadiansPerOutputSample));
      const bool nearEdge = k < begin + kEdgeSamples || k + kEdgeSamples >= end;
      (nearEdge ? edgeWorst : steadyWorst) = std::max(nearEdge ? edgeWorst : steadyWorst, error);
    }
    EXPECT_LE(steadyWorst, kSteadyToleranceLsb) << label << " segment " << i;
    EXPECT_LE(edgeWorst, kEdgeToleranceFraction * kAmplitude * kFullScale) << label << " segment " << i;
    begin = end;
  }
}

class ToneFidelity : public ::testing::TestWithParam<std::tuple<SampleType, double>> {};

TEST_P(ToneFidelity, ComesOutAsOneContinuousToneOfTheRightLength) {
  const auto [type, rate] = GetParam();
  // The second segment changes rate (or, at 44.1 kHz, to 48 kHz) and
  // layout; each segment is a whole number of output samples long.
  const double nextRate = rate == 44100 ? 48000 : 44100;
  const std::vector<Segment> segments = {{AudioFormat{type, rate, 2, true}, 0.6},
                                         {AudioFormat{type, nextRate, 2, false}, 0.5}};
  const std::string label = std::string(test::sampleTypeName(type)) + "@" + std::to_string(int(rate));
  expectContinuousTone(convertSegments(segments, sineAt), segments, label);
}

TEST_P(ToneFidelity, SingleFormatStreamIsContinuousToo) {
  const auto [type, rate] = GetParam();
  const std::vector<Segment> segments = {{AudioFormat{type, rate, 1, true}, 0.75}};
  const std::string label =
      std::string(test::sampleTypeName(type)) + "@" + std::to_string(int(rate)) + " mono";
  expectContinuousTone(convertSegments(segments, sineAt), segments, label);
}

INSTANTIATE_TEST_SUITE_P(AllTypesAndRates, ToneFidelity,
                         ::testing::Combine(::testing::Values(SampleType::Float32, SampleType::Float64,
                                                              SampleType::Int16, SampleType::Int32),
                                            ::testing::Values(8000.0, 44100.0, 48000.0, 96000.0)),
                         [](const auto& info) {
                           return std::string(test::sampleTypeName(std::get<0>(info.param))) + "_" +
                                  std::to_string(int(std::get<1>(info.param)));
                         });

// A tone repeats every 16 output samples, so a block lost in one place and
// repeated in another could hide in it. A chirp never repeats: every output
// sample has one right value.
TEST(ChirpFidelity, EveryBlockIsInItsPlace) {
  constexpr double kStartHz = 200;
  constexpr double kEndHz = 3000;
  constexpr double kSeconds = 1.1;
  const Signal chirp = [](double t) {
    return kAmplitude * std::sin(2 * kPi * (kStartHz * t + (kEndHz - kStartHz) / (2 * kSeconds) * t * t));
  };
  const std::vector<Segment> segments = {{AudioFormat{SampleType::Float32, 48000, 2, true}, 0.6},
                                         {AudioFormat{SampleType::Int16, 44100, 1, true}, 0.5}};
  const auto out = convertSegments(segments, chirp);
  ASSERT_NEAR(static_cast<double>(out.size()), kSeconds * 16000, 4);
  // The delay that fits best, searched in twentieths of a sample.
  auto worstError = [&](double delay, bool edges) {
    double worst = 0;
    for (size_t k = kEdgeSamples; k + kEdgeSamples < out.size(); ++k) {
      const bool nearBoundary = k + kEdgeSamples >= 9600 && k < 9600 + kEdgeSamples;
      if (nearBoundary != edges) continue;
      worst = std::max(worst, std::abs(out[k] - kFullScale * chirp((k - delay) / 16000.0)));
    }
    return worst;
  };
  double bestDelay = 0;
  double best = worstError(0, false);
  for (int d = -40; d <= 40; ++d) {
    const double error = worstError(d / 20.0, false);
    if (error < best) best = error, bestDelay = d / 20.0;
  }
  // The filter is flat to 0.01 dB in this band, so away from the format
  // change every sample is within a few LSB; a misplaced block would be off
  // by thousands.
  EXPECT_LE(best, 8) << "at delay " << bestDelay;
  // At the change the old stream ends on assumed silence and the new one
  // starts from it; where the chirp is cut near a peak the truncated filter
  // reaches about half of it, never beyond.
  EXPECT_LE(worstError(bestDelay, true), 0.6 * kAmplitude * kFullScale);
}

// Both channels of a stereo capture reach the mono output through the
// whole pipeline.
TEST(DownmixFidelity, EitherChannelAloneReachesTheOutput) {
  for (uint32_t channel : {0u, 1u}) {
    const AudioFormat format{SampleType::Float32, 48000, 2, false};
    test::TestPlatform platform;
    OutputCapture capture;
    ZTConverter converter(platform);
    for (uint64_t at = 0; at < 48000; at += 480) {
      const auto buffer = test::makeBuffer(
          format, 480,
          [&](uint32_t c, uint64_t frame) { return c == channel ? sineAt(frame / 48000.0) : 0.0; }, at);
      ASSERT_TRUE(converter.convert(buffer, "system", capture.output()));
    }
    ASSERT_TRUE(converter.finishSource("system", capture.output()));
    const auto out = OutputCapture::samples(capture.takeAudio());
    ASSERT_EQ(out.size(), 16000u);
    const auto fit = test::fitTone(out, 1000, 15000, kRadiansPerOutputSample);
    EXPECT_NEAR(fit.amplitude, kAmplitude * kFullScale / 2, 20) << "channel " << channel;
  }
}

}  // namespace
}  // namespace zt
