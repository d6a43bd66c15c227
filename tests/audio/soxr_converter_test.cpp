// The libsoxr converter on its own: which formats it takes, the pull
// model's statuses, the excess it keeps, rounding and downmix.
#include "platform/soxr/soxr_converter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>

#include "audio/pcm_fixtures.h"

namespace zt::platform {
namespace {

using test::makeBuffer;

constexpr double kPi = std::numbers::pi;

AudioFormat stereoFloat(double rate) { return AudioFormat{SampleType::Float32, rate, 2, true}; }

test::SampleFunction sine(double amplitude, double hz, double rate) {
  return [=](uint32_t, uint64_t frame) { return amplitude * std::sin(2 * kPi * hz * frame / rate); };
}

// Hands each buffer over once, then answers that there is no data now.
struct OneShot {
  const PCMBuffer* buffer;
  int asks = 0;
  ConverterInputBlock block() {
    return [this](uint32_t, ConverterInputStatus* status) -> const PCMBuffer* {
      ++asks;
      *status = buffer ? ConverterInputStatus::HaveData : ConverterInputStatus::NoDataNow;
      return std::exchange(buffer, nullptr);
    };
  }
};

const ConverterInputBlock kEndOfStream = [](uint32_t, ConverterInputStatus* status) -> const PCMBuffer* {
  *status = ConverterInputStatus::EndOfStream;
  return nullptr;
};

void append(std::vector<int16_t>& into, const PCMBuffer& output) {
  into.insert(into.end(), output.int16ChannelData(), output.int16ChannelData() + output.frameLength());
}

// Feeds every buffer through output buffers of `capacity` frames, then the
// tail when `finish` is set; answers every sample written.
std::vector<int16_t> run(AudioConverter& converter, const std::vector<PCMBuffer>& inputs, uint32_t capacity,
                         bool finish = true) {
  std::vector<int16_t> samples;
  auto output = PCMBuffer::make(wireFormat(), capacity);
  for (const PCMBuffer& input : inputs) {
    OneShot shot{&input};
    for (int calls = 0;; ++calls) {
      EXPECT_LT(calls, 100000) << "the converter never ran dry";
      if (calls >= 100000) return samples;
      std::optional<Error> error;
      const ConverterOutputStatus status = converter.convert(*output, &error, shot.block());
      EXPECT_NE(status, ConverterOutputStatus::Error);
      EXPECT_FALSE(error.has_value());
      append(samples, *output);
      if (status != ConverterOutputStatus::HaveData) break;
      EXPECT_EQ(output->frameLength(), capacity) << "HaveData with room left";
    }
  }
  if (!finish) return samples;
  for (int calls = 0;; ++calls) {
    EXPECT_LT(calls, 100000) << "the tail never ended";
    if (calls >= 100000) return samples;
    std::optional<Error> error;
    const ConverterOutputStatus status = converter.convert(*output, &error, kEndOfStream);
    EXPECT_EQ(error.has_value(), false);
    append(samples, *output);
    if (status == ConverterOutputStatus::EndOfStream) break;
    EXPECT_EQ(status, ConverterOutputStatus::HaveData);
    EXPECT_EQ(output->frameLength(), capacity);
  }
  return samples;
}

std::vector<PCMBuffer> chopped(const AudioFormat& format, uint64_t frames, const test::SampleFunction& fn,
                               uint32_t bufferFrames) {
  std::vector<PCMBuffer> buffers;
  for (uint64_t at = 0; at < frames; at += bufferFrames)
    buffers.push_back(
        makeBuffer(format, static_cast<uint32_t>(std::min<uint64_t>(bufferFrames, frames - at)), fn, at));
  return buffers;
}

double toneAmplitude(const std::vector<int16_t>& samples, double hz) {
  const size_t margin = samples.size() / 5;
  return test::fitTone(samples, margin, samples.size() - margin, 2 * kPi * hz / 16000).amplitude;
}

TEST(SoxrConverter, RefusesEveryTargetButTheWireFormat) {
  const AudioFormat from = stereoFloat(48000);
  EXPECT_NE(makeSoxrConverter(from, wireFormat()), nullptr);
  EXPECT_EQ(makeSoxrConverter(from, AudioFormat{SampleType::Float32, 16000, 1, true}), nullptr);
  EXPECT_EQ(makeSoxrConverter(from, AudioFormat{SampleType::Int16, 16000, 2, true}), nullptr);
  EXPECT_EQ(makeSoxrConverter(from, AudioFormat{SampleType::Int16, 44100, 1, true}), nullptr);
  EXPECT_EQ(makeSoxrConverter(from, AudioFormat{SampleType::Int16, 16000, 1, false}), nullptr);
}

TEST(SoxrConverter, RefusesInputsOutOfRange) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  for (double rate : {7999.0, 192001.0, nan, inf, -inf, 0.0, -48000.0})
    EXPECT_EQ(makeSoxrConverter(stereoFloat(rate), wireFormat()), nullptr) << rate;
  EXPECT_EQ(makeSoxrConverter(AudioFormat{SampleType::Float32, 48000, 0, true}, wireFormat()), nullptr);
  EXPECT_EQ(makeSoxrConverter(AudioFormat{SampleType::Float32, 48000, 9, true}, wireFormat()), nullptr);
  EXPECT_EQ(makeSoxrConverter(AudioFormat{static_cast<SampleType>(9), 48000, 2, true}, wireFormat()),
            nullptr);
}

TEST(SoxrConverter, TakesEveryTypeAndLayoutAtTheEdgesOfTheRange) {
  for (SampleType type : test::allSampleTypes()) {
    for (bool interleaved : {true, false}) {
      for (auto [channels, rate] : {std::pair{1u, 8000.0}, {8u, 192000.0}, {2u, 44100.0}}) {
        const AudioFormat from{type, rate, channels, interleaved};
        auto converter = makeSoxrConverter(from, wireFormat());
        ASSERT_NE(converter, nullptr) << test::sampleTypeName(type) << " " << channels << " " << rate;
        EXPECT_EQ(converter->inputFormat(), from);
        EXPECT_EQ(converter->outputFormat(), wireFormat());
        converter->setDownmix(true);
        // Half a second of a full-band-safe tone comes out at the right
        // length and level, whatever the layout.
        const uint64_t frames = static_cast<uint64_t>(rate / 2);
        const auto samples = run(*converter, chopped(from, frames, sine(0.5, 1000, rate), 1000), 512);
        EXPECT_NEAR(static_cast<double>(samples.size()), 8000, 2)
            << test::sampleTypeName(type) << " " << rate;
        EXPECT_NEAR(toneAmplitude(samples, 1000), 16384, 40) << test::sampleTypeName(type) << " " << rate;
      }
    }
  }
}

TEST(SoxrConverter, SameFormatInAndOutPassesSamplesThrough) {
  auto converter = makeSoxrConverter(wireFormat(), wireFormat());
  ASSERT_NE(converter, nullptr);
  std::vector<int16_t> input(5000);
  for (size_t i = 0; i < input.size(); ++i) input[i] = static_cast<int16_t>((i * 7919) % 65536 - 32768);
  std::vector<PCMBuffer> buffers;
  buffers.push_back(test::makeWireBuffer({input.begin(), input.begin() + 1234}));
  buffers.push_back(test::makeWireBuffer({input.begin() + 1234, input.end()}));
  EXPECT_EQ(run(*converter, buffers, 300), input);
}

TEST(SoxrConverter, RoundsToNearestAndClipsWithoutDither) {
  // At 16 kHz nothing is filtered, so the rounding shows sample by sample.
  auto converter = makeSoxrConverter(AudioFormat{SampleType::Float64, 16000, 1, true}, wireFormat());
  ASSERT_NE(converter, nullptr);
  const std::vector<double> in = {0.4 / 32768,
                                  0.6 / 32768,
                                  -0.4 / 32768,
                                  -0.6 / 32768,
                                  100.3 / 32768,
                                  -100.7 / 32768,
                                  1.0,
                                  -1.0,
                                  1.5,
                                  -1.5,
                                  32766.6 / 32768,
                                  std::numeric_limits<double>::quiet_NaN(),
                                  std::numeric_limits<double>::infinity(),
                                  0.25};
  const std::vector<int16_t> expected = {0,      1,     0,      -1,    100, -101, 32767,
                                         -32768, 32767, -32768, 32767, 0,   0,    8192};
  std::vector<PCMBuffer> buffers;
  buffers.push_back(makeBuffer(converter->inputFormat(), static_cast<uint32_t>(in.size()),
                               [&](uint32_t, uint64_t i) { return in[i]; }));
  EXPECT_EQ(run(*converter, buffers, 64), expected);
}

TEST(SoxrConverter, IsDeterministic) {
  const AudioFormat from = stereoFloat(44100);
  const auto buffers = chopped(from, 44100, sine(0.3, 1234.5, 44100), 441);
  auto first = makeSoxrConverter(from, wireFormat());
  auto second = makeSoxrConverter(from, wireFormat());
  EXPECT_EQ(run(*first, buffers, 416), run(*second, buffers, 416));
}

TEST(SoxrConverter, KeepsWhatDoesNotFitForTheNextCall) {
  const AudioFormat from = stereoFloat(48000);
  const auto buffers = chopped(from, 48000, sine(0.5, 1000, 48000), 16384);
  auto roomy = makeSoxrConverter(from, wireFormat());
  auto tight = makeSoxrConverter(from, wireFormat());
  const auto reference = run(*roomy, buffers, 100000);
  // Output buffers far smaller than what each input makes: every call after
  // the first must deliver the kept excess, and nothing may be lost or
  // repeated.
  const auto small = run(*tight, buffers, 100);
  EXPECT_EQ(small, reference);
  EXPECT_EQ(reference.size(), 16000u);
}

TEST(SoxrConverter, FullBufferAnswersHaveDataAndTheRestFollows) {
  const AudioFormat from = stereoFloat(48000);
  auto converter = makeSoxrConverter(from, wireFormat());
  const auto input = makeBuffer(from, 16384, sine(0.5, 1000, 48000));
  auto output = PCMBuffer::make(wireFormat(), 100);
  OneShot shot{&input};
  std::optional<Error> error;
  EXPECT_EQ(converter->convert(*output, &error, shot.block()), ConverterOutputStatus::HaveData);
  EXPECT_EQ(output->frameLength(), 100u);
  EXPECT_EQ(shot.asks, 1);
  // The next call is served from what was kept, without asking for input.
  EXPECT_EQ(converter->convert(*output, &error, shot.block()), ConverterOutputStatus::HaveData);
  EXPECT_EQ(shot.asks, 1);
  EXPECT_FALSE(error.has_value());
}

TEST(SoxrConverter, AsksForInputAsOftenAsItNeedsWithinOneCall) {
  const AudioFormat from{SampleType::Float32, 48000, 1, true};
  auto converter = makeSoxrConverter(from, wireFormat());
  auto fn = sine(0.5, 1000, 48000);
  std::vector<PCMBuffer> inputs;
  for (uint64_t i = 0; i < 48000; i += 10) inputs.push_back(makeBuffer(from, 10, fn, i));
  size_t next = 0;
  int asks = 0;
  const ConverterInputBlock block = [&](uint32_t framesWanted,
                                        ConverterInputStatus* status) -> const PCMBuffer* {
    ++asks;
    EXPECT_GT(framesWanted, 0u);
    if (next == inputs.size()) {
      *status = ConverterInputStatus::NoDataNow;
      return nullptr;
    }
    *status = ConverterInputStatus::HaveData;
    return &inputs[next++];
  };
  auto output = PCMBuffer::make(wireFormat(), 2000);
  std::optional<Error> error;
  EXPECT_EQ(converter->convert(*output, &error, block), ConverterOutputStatus::HaveData);
  EXPECT_EQ(output->frameLength(), 2000u);
  EXPECT_GT(asks, 600) << "2000 output frames need at least 6000 input frames of 10 each";
  EXPECT_LT(next, inputs.size());
}

TEST(SoxrConverter, OutputLagsUntilTheEndOfTheStream) {
  const AudioFormat from = stereoFloat(48000);
  auto converter = makeSoxrConverter(from, wireFormat());
  converter->setPrimeMethod(ConverterPrimeMethod::None);
  const auto buffers = chopped(from, 48000, sine(0.5, 1000, 48000), 480);
  const auto before = run(*converter, buffers, 416, false);
  EXPECT_LT(before.size(), 16000u - 32) << "the filter delay is held back";
  // The tail, delivered in small pieces, ends with EndOfStream.
  auto output = PCMBuffer::make(wireFormat(), 16);
  size_t tail = 0;
  ConverterOutputStatus status;
  do {
    std::optional<Error> error;
    status = converter->convert(*output, &error, kEndOfStream);
    tail += output->frameLength();
  } while (status == ConverterOutputStatus::HaveData);
  EXPECT_EQ(status, ConverterOutputStatus::EndOfStream);
  EXPECT_EQ(before.size() + tail, 16000u);
  // After the end there is nothing more, and the block is not asked again.
  int asks = 0;
  std::optional<Error> error;
  EXPECT_EQ(converter->convert(*output, &error,
                               [&](uint32_t, ConverterInputStatus* s) -> const PCMBuffer* {
                                 ++asks;
                                 *s = ConverterInputStatus::EndOfStream;
                                 return nullptr;
                               }),
            ConverterOutputStatus::EndOfStream);
  EXPECT_EQ(output->frameLength(), 0u);
  EXPECT_EQ(asks, 0);
}

TEST(SoxrConverter, FlushOfAnUnusedConverterEndsAtOnce) {
  auto converter = makeSoxrConverter(stereoFloat(48000), wireFormat());
  auto output = PCMBuffer::make(wireFormat(), 2048);
  std::optional<Error> error;
  EXPECT_EQ(converter->convert(*output, &error, kEndOfStream), ConverterOutputStatus::EndOfStream);
  EXPECT_EQ(output->frameLength(), 0u);
}

TEST(SoxrConverter, ReportsErrorsForBuffersItCannotUse) {
  const AudioFormat from = stereoFloat(48000);
  const auto good = makeBuffer(from, 480, sine(0.5, 1000, 48000));
  auto output = PCMBuffer::make(wireFormat(), 416);
  auto expectError = [&](PCMBuffer& out, const PCMBuffer* in, const char* what) {
    auto converter = makeSoxrConverter(from, wireFormat());
    OneShot shot{in};
    std::optional<Error> error;
    EXPECT_EQ(converter->convert(out, &error,
                                 [&](uint32_t, ConverterInputStatus* s) -> const PCMBuffer* {
                                   *s = ConverterInputStatus::HaveData;
                                   return std::exchange(shot.buffer, nullptr);
                                 }),
              ConverterOutputStatus::Error)
        << what;
    EXPECT_TRUE(error.has_value()) << what;
  };
  // An output buffer that is not the wire format.
  auto floatOutput = PCMBuffer::make(AudioFormat{SampleType::Float32, 16000, 1, true}, 416);
  expectError(*floatOutput, &good, "float output");
  // Input in another format than the converter's.
  const auto other = makeBuffer(stereoFloat(44100), 441, sine(0.5, 1000, 44100));
  expectError(*output, &other, "other format");
  // HaveData without a buffer.
  expectError(*output, nullptr, "no buffer");
  // A list without data, or shorter than its frame length says.
  AudioBufferList noData;
  noData.buffers.push_back(AudioBuffer{2, 3840, nullptr});
  const auto missing = PCMBuffer::wrapping(from, 480, noData);
  expectError(*output, &missing, "no data");
  std::vector<float> shortStorage(100);
  AudioBufferList shortList;
  shortList.buffers.push_back(AudioBuffer{2, 400, shortStorage.data()});
  const auto shortBuffer = PCMBuffer::wrapping(from, 480, shortList);
  expectError(*output, &shortBuffer, "short data");
  const auto noList = PCMBuffer::wrapping(from, 480, std::nullopt);
  expectError(*output, &noList, "no list");
}

TEST(SoxrConverter, DownmixLetsEitherChannelThroughAndCancelsOppositePhase) {
  const AudioFormat from = stereoFloat(48000);
  auto only = [](uint32_t keep, double sign) {
    return [=](uint32_t channel, uint64_t frame) {
      const double v = 0.5 * std::sin(2 * kPi * 1000 * frame / 48000.0);
      return channel == keep ? v : sign * v * (keep > 1 ? 1 : 0);
    };
  };
  auto convert = [&](const AudioFormat& format, const test::SampleFunction& fn, bool downmix) {
    auto converter = makeSoxrConverter(format, wireFormat());
    converter->setDownmix(downmix);
    return run(*converter, chopped(format, 24000, fn, 480), 416);
  };
  const auto left = convert(from, only(0, 0), true);
  const auto right = convert(from, only(1, 0), true);
  EXPECT_NEAR(toneAmplitude(left, 1000), 8192, 20);
  EXPECT_NEAR(toneAmplitude(right, 1000), 8192, 20);

  const auto opposite = convert(
      from,
      [](uint32_t channel, uint64_t frame) {
        const double v = 0.5 * std::sin(2 * kPi * 1000 * frame / 48000.0);
        return channel == 0 ? v : -v;
      },
      true);
  ASSERT_EQ(opposite.size(), 8000u);
  for (int16_t sample : opposite) ASSERT_LE(std::abs(sample), 1);

  // All eight channels of a split layout are mixed, the last one included.
  const AudioFormat eight{SampleType::Int32, 48000, 8, false};
  const auto last = convert(
      eight,
      [](uint32_t channel, uint64_t frame) {
        return channel == 7 ? 0.8 * std::sin(2 * kPi * 1000 * frame / 48000.0) : 0.0;
      },
      true);
  EXPECT_NEAR(toneAmplitude(last, 1000), 0.8 * 32768 / 8, 20);

  // Without downmix only the first channel is taken.
  EXPECT_LE(toneAmplitude(convert(from, only(1, 0), false), 1000), 1.0);
  EXPECT_NEAR(toneAmplitude(convert(from, only(0, 0), false), 1000), 16384, 40);
}

}  // namespace
}  // namespace zt::platform
