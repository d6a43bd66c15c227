// The structural bounds a PCM buffer must meet before anything reads it.
#include <gtest/gtest.h>

#include <limits>

#include "audio/ZTConverter.h"

namespace zt {
namespace {

using platform::AudioBufferList;

// The bounds never read the samples, so one small block backs every buffer
// whatever its stated size. `last` overrides the last buffer's size; 0
// leaves it without data.
AudioBufferList listOf(uint32_t buffers, uint32_t bytesEach, std::optional<uint32_t> last = std::nullopt) {
  static std::vector<std::byte> backing(64);
  AudioBufferList list;
  for (uint32_t i = 0; i < buffers; ++i) list.buffers.push_back({1, bytesEach, backing.data()});
  if (last) list.buffers.back() = {1, *last, *last ? backing.data() : nullptr};
  return list;
}

TEST(ZTValidBuffer, EveryBoundAtItsEdge) {
  const double inf = std::numeric_limits<double>::infinity();
  const AudioBufferList one = listOf(1, 3840);
  const struct {
    uint32_t frames, channels;
    double rate;
    std::optional<AudioBufferList> list;
    bool valid;
  } cases[] = {
      {0, 2, 48000, one, false},
      {1, 2, 48000, one, true},
      {16384, 2, 48000, one, true},
      {16385, 2, 48000, one, false},
      {480, 0, 48000, one, false},
      {480, 8, 48000, one, true},
      {480, 9, 48000, one, false},
      {480, 2, 8000, one, true},
      {480, 2, 7999.999, one, false},
      {480, 2, 192000, one, true},
      {480, 2, 192000.001, one, false},
      {480, 2, std::numeric_limits<double>::quiet_NaN(), one, false},
      {480, 2, inf, one, false},
      {480, 2, -inf, one, false},
      {480, 2, 48000, std::nullopt, false},
      {480, 2, 48000, listOf(0, 0), false},
      {480, 8, 48000, listOf(8, 1920), true},
      {480, 8, 48000, listOf(9, 1920), false},
      {480, 3, 48000, listOf(3, 1920, 0), false},
      // The byte total is cumulative, and a 32-bit sum would wrap.
      {480, 2, 48000, listOf(2, 524288), true},
      {480, 2, 48000, listOf(2, 524288, 524289), false},
      {480, 2, 48000, listOf(2, 0x80000000u), false},
  };
  for (const auto& c : cases) {
    const auto buffer = platform::PCMBuffer::wrapping(
        {platform::SampleType::Float32, c.rate, c.channels, true}, c.frames, c.list);
    EXPECT_EQ(ZTValidBuffer(buffer), c.valid) << "case " << &c - cases;
  }
}

}  // namespace
}  // namespace zt
