// The structural bounds a PCM buffer must meet before anything reads it.
#include <gtest/gtest.h>

#include <limits>
#include <vector>

#include "audio/ZTConverter.h"

namespace zt {
namespace {

using platform::AudioBuffer;
using platform::AudioBufferList;
using platform::AudioFormat;
using platform::PCMBuffer;
using platform::SampleType;

// The bounds never read the samples, so one small block backs every buffer
// whatever its stated size.
AudioBufferList listOf(uint32_t buffers, uint32_t bytesEach) {
  static std::vector<std::byte> backing(64);
  AudioBufferList list;
  for (uint32_t i = 0; i < buffers; ++i) list.buffers.push_back(AudioBuffer{1, bytesEach, backing.data()});
  return list;
}

AudioBufferList withChange(AudioBufferList list, size_t index, uint32_t bytes, bool data = true) {
  list.buffers[index].dataByteSize = bytes;
  if (!data) list.buffers[index].data = nullptr;
  return list;
}

PCMBuffer buffer(uint32_t frames, uint32_t channels, double rate, std::optional<AudioBufferList> list) {
  return PCMBuffer::wrapping(AudioFormat{SampleType::Float32, rate, channels, true}, frames, list);
}

TEST(ZTValidBuffer, EveryBoundAtItsEdge) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  const AudioBufferList one = listOf(1, 3840);
  const struct {
    const char* name;
    PCMBuffer buffer;
    bool valid;
  } cases[] = {
      {"ordinary", buffer(480, 2, 48000, one), true},
      {"0 frames", buffer(0, 2, 48000, one), false},
      {"1 frame", buffer(1, 2, 48000, one), true},
      {"16384 frames", buffer(16384, 2, 48000, one), true},
      {"16385 frames", buffer(16385, 2, 48000, one), false},
      {"0 channels", buffer(480, 0, 48000, one), false},
      {"8 channels", buffer(480, 8, 48000, one), true},
      {"9 channels", buffer(480, 9, 48000, one), false},
      {"8000 Hz", buffer(480, 2, 8000, one), true},
      {"7999.999 Hz", buffer(480, 2, 7999.999, one), false},
      {"192000 Hz", buffer(480, 2, 192000, one), true},
      {"192000.001 Hz", buffer(480, 2, 192000.001, one), false},
      {"NaN Hz", buffer(480, 2, nan, one), false},
      {"infinite Hz", buffer(480, 2, inf, one), false},
      {"-infinite Hz", buffer(480, 2, -inf, one), false},
      {"no list", buffer(480, 2, 48000, std::nullopt), false},
      {"empty list", buffer(480, 2, 48000, listOf(0, 0)), false},
      {"8 buffers", buffer(480, 8, 48000, listOf(8, 1920)), true},
      {"9 buffers", buffer(480, 8, 48000, listOf(9, 1920)), false},
      {"first buffer without data", buffer(480, 3, 48000, withChange(listOf(3, 1920), 0, 1920, false)),
       false},
      {"last buffer without data", buffer(480, 3, 48000, withChange(listOf(3, 1920), 2, 1920, false)), false},
      // The byte total is cumulative, and a 32-bit sum would wrap.
      {"1 MiB in all", buffer(480, 2, 48000, listOf(2, 524288)), true},
      {"1 MiB and a byte", buffer(480, 2, 48000, withChange(listOf(2, 524288), 1, 524289)), false},
      {"two halves of 4 GiB", buffer(480, 2, 48000, listOf(2, 0x80000000u)), false},
      // Byte sizes that disagree with the frame length are left to the reader.
      {"short data", buffer(480, 2, 48000, listOf(1, 4)), true},
  };
  for (const auto& c : cases) EXPECT_EQ(ZTValidBuffer(c.buffer), c.valid) << c.name;
}

}  // namespace
}  // namespace zt
