// Every sample type and common rate, uneven buffers and format changes, end to end.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

#include "audio/ZTConverter.h"
#include "audio/fixtures.h"

namespace zt {
namespace {

using platform::AudioFormat;
using platform::SampleType;

constexpr double kAmplitude = 0.5;
constexpr double kFullScale = 32768;
// A chirp never repeats, so a lost or repeated block cannot hide as in a tone.
constexpr double kStartHz = 200;
constexpr double kEndHz = 3000;
constexpr double kSeconds = 1.1;
// Output samples either side of an edge that the filter's response spreads over.
constexpr size_t kEdgeSamples = 256;
// The smallest, the tap sizes, odd sizes, the largest allowed.
constexpr uint32_t kBufferSizes[] = {1, 480, 7, 1024, 441, 4096, 160, 16384, 333, 2048, 4410, 97};

double chirp(double t) {
  return kAmplitude *
         std::sin(2 * std::numbers::pi * (kStartHz * t + (kEndHz - kStartHz) / (2 * kSeconds) * t * t));
}

// Two channels carry 1.5 and 0.5 of the chirp: only their average is the signal.
std::vector<int16_t> convertSegments(const std::vector<std::pair<AudioFormat, double>>& segments) {
  test::TestPlatform platform;
  test::OutputCapture capture;
  ZTConverter converter(platform);
  double startSeconds = 0;
  size_t sizeIndex = 0;
  for (const auto& [format, seconds] : segments) {
    const double rate = format.sampleRate;
    const auto frames = static_cast<uint64_t>(std::llround(seconds * rate));
    const bool stereo = format.channelCount == 2;
    const auto fn = [&](uint32_t channel, uint64_t frame) {
      return (stereo ? 1.5 - channel : 1.0) * chirp(startSeconds + frame / rate);
    };
    for (uint64_t at = 0; at < frames;) {
      const auto n = static_cast<uint32_t>(
          std::min<uint64_t>(kBufferSizes[sizeIndex++ % std::size(kBufferSizes)], frames - at));
      EXPECT_TRUE(converter.convert(test::makeBuffer(format, n, fn, at), "system", capture.output()));
      at += n;
    }
    startSeconds += seconds;
  }
  EXPECT_TRUE(converter.finishSource("system", capture.output()));
  return capture.takeSamples();
}

void expectEverySampleInItsPlace(SampleType type, double rate) {
  // Each segment changes rate, layout or channels.
  const double nextRate = rate == 44100 ? 48000 : 44100;
  const auto out = convertSegments({{AudioFormat{type, rate, 2, true}, 0.4},
                                    {AudioFormat{type, nextRate, 2, false}, 0.4},
                                    {AudioFormat{type, rate, 1, true}, 0.3}});
  const std::vector<size_t> changes = {6400, 12800};
  ASSERT_NEAR(static_cast<double>(out.size()), kSeconds * 16000, 4);
  // The largest error against the chirp delayed by `delay` samples.
  auto worstError = [&](double delay, bool atChanges) {
    double worst = 0;
    for (size_t k = kEdgeSamples; k + kEdgeSamples < out.size(); ++k) {
      const bool nearChange = std::any_of(changes.begin(), changes.end(), [&](size_t at) {
        return k + kEdgeSamples >= at && k < at + kEdgeSamples;
      });
      if (nearChange == atChanges)
        worst = std::max(worst, std::abs(out[k] - kFullScale * chirp((k - delay) / 16000.0)));
    }
    return worst;
  };
  // The delay that fits best, searched in twentieths of a sample.
  double bestDelay = 0, best = worstError(0, false);
  for (int d = -40; d <= 40; ++d) {
    const double error = worstError(d / 20.0, false);
    if (error < best) best = error, bestDelay = d / 20.0;
  }
  // A misplaced block, wrong level or lost channel would be off by hundreds.
  EXPECT_LE(best, 8) << "at delay " << bestDelay;
  // A change cut near a peak leaves about half of it, never more.
  EXPECT_LE(worstError(bestDelay, true), 0.6 * kAmplitude * kFullScale);
}

TEST(Fidelity, EverySampleIsInItsPlace) {
  for (const SampleType type :
       {SampleType::Float32, SampleType::Float64, SampleType::Int16, SampleType::Int32}) {
    for (const double rate : {8000.0, 44100.0, 48000.0, 96000.0}) {
      SCOPED_TRACE(std::to_string(static_cast<int>(type)) + " at " + std::to_string(rate));
      expectEverySampleInItsPlace(type, rate);
    }
  }
}

}  // namespace
}  // namespace zt
