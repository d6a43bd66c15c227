// Slicing wire-format PCM into audio events.
#include <gtest/gtest.h>

#include "audio/ZTConverter.h"
#include "audio/fixtures.h"

namespace zt {
namespace {

using test::OutputCapture;

// Values that use both bytes and the sign, so byte order and offsets show.
std::vector<int16_t> ramp(size_t n) {
  std::vector<int16_t> samples(n);
  for (size_t i = 0; i < n; ++i) samples[i] = static_cast<int16_t>(static_cast<int>(i * 37 % 65536) - 32768);
  return samples;
}

TEST(ZTEmitPCM, SlicesIntoLittleEndianEventsOfAtMost3200Bytes) {
  const std::pair<size_t, std::vector<size_t>> cases[] = {
      {1600, {3200}},
      {1601, {3200, 2}},
      {16123, {3200, 3200, 3200, 3200, 3200, 3200, 3200, 3200, 3200, 3200, 246}}};
  for (const auto& [frames, eventBytes] : cases) {
    OutputCapture capture;
    const auto samples = ramp(frames);
    EXPECT_TRUE(ZTEmitPCM(test::makeWireBuffer(samples), "microphone", capture.output()));
    std::vector<size_t> bytes;
    std::vector<int16_t> all;
    for (const auto& event : capture.takeAudio()) {
      bytes.push_back(event.samples.size() * 2);
      EXPECT_EQ(event.source, "microphone");
      all.insert(all.end(), event.samples.begin(), event.samples.end());
    }
    EXPECT_EQ(bytes, eventBytes) << frames;
    EXPECT_EQ(all, samples) << frames;
  }
  OutputCapture capture;
  ZTEmitPCM(test::makeWireBuffer({0x0102, -2}), "system", capture.output());
  EXPECT_EQ(capture.takeLines(),
            std::vector<std::string>{"{\"audio\":\"AgH+/w==\",\"event\":\"audio\",\"source\":\"system\"}"});
}

// A frame length past the data, or more than one channel, is a failure with
// nothing of the buffer sent; an empty buffer is not.
TEST(ZTEmitPCM, MalformedBuffersFailWithoutEvents) {
  OutputCapture capture;
  EXPECT_TRUE(ZTEmitPCM(test::makeWireBuffer({}), "system", capture.output()));
  std::vector<int16_t> storage = ramp(8);
  platform::AudioBufferList list;
  list.buffers.push_back({1, static_cast<uint32_t>(storage.size() * sizeof(int16_t)), storage.data()});
  platform::AudioFormat stereo = platform::wireFormat();
  stereo.channelCount = 2;
  EXPECT_FALSE(
      ZTEmitPCM(platform::PCMBuffer::wrapping(platform::wireFormat(), 9, list), "system", capture.output()));
  EXPECT_FALSE(ZTEmitPCM(platform::PCMBuffer::wrapping(stereo, 4, list), "system", capture.output()));
  EXPECT_TRUE(capture.takeLines().empty());
  EXPECT_TRUE(
      ZTEmitPCM(platform::PCMBuffer::wrapping(platform::wireFormat(), 8, list), "system", capture.output()));
  EXPECT_EQ(capture.takeSamples(), storage);
}

}  // namespace
}  // namespace zt
