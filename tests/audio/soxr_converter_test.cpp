// The libsoxr converter on its own: which formats it takes, errors,
// rounding. Downmix, the excess it keeps and its tail show in the fidelity
// tests.
#include "platform/soxr/soxr_converter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "audio/fixtures.h"

namespace zt::platform {
namespace {

using test::makeBuffer;

AudioFormat stereoFloat(double rate) { return AudioFormat{SampleType::Float32, rate, 2, true}; }

// Hands the buffer over once, then answers that there is no data now.
ConverterInputBlock oneShot(const PCMBuffer* buffer) {
  return [buffer](uint32_t, ConverterInputStatus* status) mutable -> const PCMBuffer* {
    *status = buffer ? ConverterInputStatus::HaveData : ConverterInputStatus::NoDataNow;
    return std::exchange(buffer, nullptr);
  };
}

const ConverterInputBlock kEndOfStream = [](uint32_t, ConverterInputStatus* status) -> const PCMBuffer* {
  *status = ConverterInputStatus::EndOfStream;
  return nullptr;
};

TEST(SoxrConverter, MakesOnlyWireConvertersFromFormatsInRange) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const AudioFormat from = stereoFloat(48000);
  EXPECT_NE(makeSoxrConverter({SampleType::Int16, 8000, 1, false}, wireFormat()), nullptr);
  EXPECT_NE(makeSoxrConverter({SampleType::Float64, 192000, 8, false}, wireFormat()), nullptr);
  for (const AudioFormat& to :
       {AudioFormat{SampleType::Float32, 16000, 1, true}, AudioFormat{SampleType::Int16, 16000, 2, true},
        AudioFormat{SampleType::Int16, 44100, 1, true}})
    EXPECT_EQ(makeSoxrConverter(from, to), nullptr);
  for (const AudioFormat& bad :
       {stereoFloat(7999), stereoFloat(192001), stereoFloat(nan),
        AudioFormat{SampleType::Float32, 48000, 0, true}, AudioFormat{SampleType::Float32, 48000, 9, true},
        AudioFormat{static_cast<SampleType>(9), 48000, 2, true}})
    EXPECT_EQ(makeSoxrConverter(bad, wireFormat()), nullptr) << bad.sampleRate << " " << bad.channelCount;
}

TEST(SoxrConverter, RoundsToNearestAndClipsWithoutDither) {
  const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
  // At 16 kHz nothing is filtered, so the rounding shows sample by sample.
  auto converter = makeSoxrConverter(AudioFormat{SampleType::Float64, 16000, 1, true}, wireFormat());
  ASSERT_NE(converter, nullptr);
  // In LSB of the output.
  const double in[] = {0.4, 0.6, -0.4, -0.6, 100.3, -100.7, 32768, -32768, 49152, -49152, 32766.6, nan, inf};
  const std::vector<int16_t> expected = {0, 1, 0, -1, 100, -101, 32767, -32768, 32767, -32768, 32767, 0, 0};
  const auto buffer = makeBuffer(converter->inputFormat(), std::size(in),
                                 [&](uint32_t, uint64_t i) { return in[i] / 32768; });
  std::vector<int16_t> samples;
  auto output = PCMBuffer::make(wireFormat(), 64);
  for (const auto& [block, status] : {std::pair{oneShot(&buffer), ConverterOutputStatus::InputRanDry},
                                      {kEndOfStream, ConverterOutputStatus::EndOfStream}}) {
    std::optional<Error> error;
    EXPECT_EQ(converter->convert(*output, &error, block), status);
    samples.insert(samples.end(), output->int16ChannelData(),
                   output->int16ChannelData() + output->frameLength());
  }
  EXPECT_EQ(samples, expected);
}

TEST(SoxrConverter, ReportsErrorsForBuffersItCannotUse) {
  const AudioFormat from = stereoFloat(48000);
  const auto good = makeBuffer(from, 480, [](uint32_t, uint64_t) { return 0.5; });
  const auto other = makeBuffer(stereoFloat(44100), 441, [](uint32_t, uint64_t) { return 0.5; });
  AudioBufferList noData;
  noData.buffers.push_back(AudioBuffer{2, 3840, nullptr});
  std::vector<float> shortStorage(100);
  AudioBufferList shortList;
  shortList.buffers.push_back(AudioBuffer{2, 400, shortStorage.data()});
  const auto missing = PCMBuffer::wrapping(from, 480, noData);
  const auto shortBuffer = PCMBuffer::wrapping(from, 480, shortList);
  const auto noList = PCMBuffer::wrapping(from, 480, std::nullopt);
  auto wire = PCMBuffer::make(wireFormat(), 416);
  auto floatOutput = PCMBuffer::make(AudioFormat{SampleType::Float32, 16000, 1, true}, 416);
  const struct {
    const char* name;
    PCMBuffer* out;
    const PCMBuffer* in;
  } cases[] = {{"float output", &*floatOutput, &good}, {"other format", &*wire, &other},
               {"no buffer", &*wire, nullptr},         {"no data", &*wire, &missing},
               {"short data", &*wire, &shortBuffer},   {"no list", &*wire, &noList}};
  for (const auto& c : cases) {
    auto converter = makeSoxrConverter(from, wireFormat());
    std::optional<Error> error;
    const ConverterInputBlock block = [&](uint32_t, ConverterInputStatus* s) -> const PCMBuffer* {
      *s = ConverterInputStatus::HaveData;
      return c.in;
    };
    EXPECT_EQ(converter->convert(*c.out, &error, block), ConverterOutputStatus::Error) << c.name;
    EXPECT_TRUE(error.has_value()) << c.name;
  }
}

}  // namespace
}  // namespace zt::platform
