// The structural bounds a PCM buffer must meet before anything reads it.
#include <gtest/gtest.h>

#include <cmath>
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

// Backing bytes for the lists below; the bounds never read them, so one
// small block serves every buffer however large its stated size.
std::vector<std::byte>& backing() {
  static std::vector<std::byte> bytes(64);
  return bytes;
}

AudioBufferList listOf(uint32_t buffers, uint32_t bytesEach) {
  AudioBufferList list;
  for (uint32_t i = 0; i < buffers; ++i) list.buffers.push_back(AudioBuffer{1, bytesEach, backing().data()});
  return list;
}

AudioFormat formatOf(uint32_t channels, double rate) {
  return AudioFormat{SampleType::Float32, rate, channels, true};
}

// A buffer that meets every bound; each test breaks exactly one.
PCMBuffer valid(uint32_t frames = 480, uint32_t channels = 2, double rate = 48000) {
  return PCMBuffer::wrapping(formatOf(channels, rate), frames, listOf(1, frames * 8));
}

TEST(ZTValidBuffer, AcceptsAnOrdinaryBuffer) { EXPECT_TRUE(ZTValidBuffer(valid())); }

TEST(ZTValidBuffer, FrameLengthRunsFromOneTo16384) {
  EXPECT_FALSE(ZTValidBuffer(valid(0)));
  EXPECT_TRUE(ZTValidBuffer(valid(1)));
  EXPECT_TRUE(ZTValidBuffer(valid(16384)));
  EXPECT_FALSE(ZTValidBuffer(valid(16385)));
}

TEST(ZTValidBuffer, ChannelCountRunsFromOneToEight) {
  EXPECT_FALSE(ZTValidBuffer(valid(480, 0)));
  EXPECT_TRUE(ZTValidBuffer(valid(480, 1)));
  EXPECT_TRUE(ZTValidBuffer(valid(480, 8)));
  EXPECT_FALSE(ZTValidBuffer(valid(480, 9)));
}

TEST(ZTValidBuffer, SampleRateIsFiniteAndWithin8000To192000) {
  EXPECT_FALSE(ZTValidBuffer(valid(480, 2, 7999)));
  EXPECT_TRUE(ZTValidBuffer(valid(480, 2, 8000)));
  EXPECT_TRUE(ZTValidBuffer(valid(480, 2, 192000)));
  EXPECT_FALSE(ZTValidBuffer(valid(480, 2, 192001)));
  EXPECT_FALSE(ZTValidBuffer(valid(480, 2, 7999.999)));
  EXPECT_FALSE(ZTValidBuffer(valid(480, 2, 192000.001)));
  EXPECT_FALSE(ZTValidBuffer(valid(480, 2, std::numeric_limits<double>::quiet_NaN())));
  EXPECT_FALSE(ZTValidBuffer(valid(480, 2, std::numeric_limits<double>::infinity())));
  EXPECT_FALSE(ZTValidBuffer(valid(480, 2, -std::numeric_limits<double>::infinity())));
  EXPECT_FALSE(ZTValidBuffer(valid(480, 2, 0)));
}

TEST(ZTValidBuffer, NeedsABufferList) {
  EXPECT_FALSE(ZTValidBuffer(PCMBuffer::wrapping(formatOf(2, 48000), 480, std::nullopt)));
}

TEST(ZTValidBuffer, ListHoldsOneToEightBuffers) {
  EXPECT_FALSE(ZTValidBuffer(PCMBuffer::wrapping(formatOf(2, 48000), 480, listOf(0, 0))));
  EXPECT_TRUE(ZTValidBuffer(PCMBuffer::wrapping(formatOf(8, 48000), 480, listOf(8, 1920))));
  EXPECT_FALSE(ZTValidBuffer(PCMBuffer::wrapping(formatOf(8, 48000), 480, listOf(9, 1920))));
}

TEST(ZTValidBuffer, EveryBufferNeedsData) {
  for (size_t missing = 0; missing < 3; ++missing) {
    AudioBufferList list = listOf(3, 1920);
    list.buffers[missing].data = nullptr;
    EXPECT_FALSE(ZTValidBuffer(PCMBuffer::wrapping(formatOf(3, 48000), 480, list))) << missing;
  }
}

TEST(ZTValidBuffer, ByteTotalIsCumulativeOverTheList) {
  // Each buffer alone is within the bound; together they are not.
  EXPECT_TRUE(ZTValidBuffer(PCMBuffer::wrapping(formatOf(1, 48000), 480, listOf(1, 600000))));
  EXPECT_FALSE(ZTValidBuffer(PCMBuffer::wrapping(formatOf(2, 48000), 480, listOf(2, 600000))));
  // Exactly 1 MiB in total is allowed, one byte more is not.
  EXPECT_TRUE(ZTValidBuffer(PCMBuffer::wrapping(formatOf(2, 48000), 480, listOf(2, 524288))));
  AudioBufferList over = listOf(2, 524288);
  over.buffers[1].dataByteSize = 524289;
  EXPECT_FALSE(ZTValidBuffer(PCMBuffer::wrapping(formatOf(2, 48000), 480, over)));
  // Sizes large enough to wrap a 32-bit total are still caught.
  EXPECT_FALSE(ZTValidBuffer(PCMBuffer::wrapping(formatOf(2, 48000), 480, listOf(2, 0x80000000u))));
}

TEST(ZTValidBuffer, DoesNotJudgeSampleFormatOrByteSizes) {
  // Byte sizes that disagree with the frame length are left to the reader.
  EXPECT_TRUE(ZTValidBuffer(PCMBuffer::wrapping(formatOf(2, 48000), 480, listOf(1, 4))));
  EXPECT_TRUE(
      ZTValidBuffer(PCMBuffer::wrapping(AudioFormat{SampleType::Int16, 44100, 2, false}, 100, listOf(1, 0))));
}

TEST(ZTOutputCapacity, IsTheResampledLengthPlusSlack) {
  // The largest valid buffer: 16384 frames at 8000 Hz.
  EXPECT_EQ(ZTOutputCapacity(16384, 8000), 33024u);
  EXPECT_EQ(ZTOutputCapacity(480, 48000), 416u);
  EXPECT_EQ(ZTOutputCapacity(441, 44100), 416u);
  EXPECT_EQ(ZTOutputCapacity(1, 192000), 257u);
  EXPECT_EQ(ZTOutputCapacity(1024, 44100), 372u + 256u);
  EXPECT_EQ(ZTOutputCapacity(16384, 192000), 1366u + 256u);
}

}  // namespace
}  // namespace zt
