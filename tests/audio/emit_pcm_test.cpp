// Slicing wire-format PCM into audio events.
#include <gtest/gtest.h>

#include "audio/ZTConverter.h"
#include "audio/output_capture.h"
#include "audio/pcm_fixtures.h"
#include "base/dispatch.h"

namespace zt {
namespace {

using test::AudioEvent;
using test::OutputCapture;

std::vector<int16_t> ramp(size_t n) {
  std::vector<int16_t> samples(n);
  // Values that use both bytes and the sign, so byte order and offsets show.
  for (size_t i = 0; i < n; ++i) samples[i] = static_cast<int16_t>(static_cast<int>(i * 37 % 65536) - 32768);
  return samples;
}

TEST(ZTEmitPCM, SixteenHundredFramesMakeOneFullEvent) {
  OutputCapture capture;
  const auto samples = ramp(1600);
  ZTEmitPCM(test::makeWireBuffer(samples), "system", capture.output());
  const std::vector<AudioEvent> events = capture.takeAudio();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].pcm.size(), 3200u);
  EXPECT_EQ(events[0].source, "system");
  EXPECT_EQ(OutputCapture::samples(events), samples);
}

TEST(ZTEmitPCM, OneFrameMoreStartsASecondEventOfTwoBytes) {
  OutputCapture capture;
  const auto samples = ramp(1601);
  ZTEmitPCM(test::makeWireBuffer(samples), "microphone", capture.output());
  const std::vector<AudioEvent> events = capture.takeAudio();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].pcm.size(), 3200u);
  EXPECT_EQ(events[1].pcm.size(), 2u);
  EXPECT_EQ(events[1].source, "microphone");
  EXPECT_EQ(OutputCapture::samples(events), samples);
}

TEST(ZTEmitPCM, EmptyAndMalformedBuffersMakeNoEvent) {
  OutputCapture capture;
  EXPECT_TRUE(ZTEmitPCM(test::makeWireBuffer({}), "system", capture.output()));

  // A frame length past the data: nothing of it goes out, and the caller
  // learns of it.
  std::vector<int16_t> storage = ramp(8);
  platform::AudioBufferList list;
  list.buffers.push_back({1, static_cast<uint32_t>(storage.size() * sizeof(int16_t)), storage.data()});
  EXPECT_FALSE(
      ZTEmitPCM(platform::PCMBuffer::wrapping(platform::wireFormat(), 9, list), "system", capture.output()));
  EXPECT_TRUE(
      ZTEmitPCM(platform::PCMBuffer::wrapping(platform::wireFormat(), 8, list), "system", capture.output()));
  EXPECT_EQ(capture.takeAudio().size(), 1u);

  platform::AudioFormat stereo = platform::wireFormat();
  stereo.channelCount = 2;
  EXPECT_FALSE(ZTEmitPCM(platform::PCMBuffer::wrapping(stereo, 4, list), "system", capture.output()));
  EXPECT_TRUE(capture.takeLines().empty());
}

TEST(ZTEmitPCM, SamplesGoOutLittleEndianInOrder) {
  OutputCapture capture;
  ZTEmitPCM(test::makeWireBuffer({0x0102, -2}), "system", capture.output());
  const std::vector<AudioEvent> events = capture.takeAudio();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].pcm, (std::vector<uint8_t>{0x02, 0x01, 0xFE, 0xFF}));
}

TEST(ZTEmitPCM, LongBuffersAreSlicedInOrder) {
  OutputCapture capture;
  const auto samples = ramp(16000 + 123);
  ZTEmitPCM(test::makeWireBuffer(samples), "system", capture.output());
  const std::vector<AudioEvent> events = capture.takeAudio();
  ASSERT_EQ(events.size(), 11u);
  for (size_t i = 0; i + 1 < events.size(); ++i) EXPECT_EQ(events[i].pcm.size(), 3200u);
  EXPECT_EQ(events.back().pcm.size(), 246u);
  EXPECT_EQ(OutputCapture::samples(events), samples);
}

TEST(ZTEmitPCM, EventsAreAudioAndSoDroppedWhileTheOutputRefusesAudio) {
  OutputCapture capture;
  zt::sync(zt::mainQueue(), [&] { capture.output()->setAcceptingAudio(false); });
  ZTEmitPCM(test::makeWireBuffer(ramp(4000)), "system", capture.output());
  EXPECT_TRUE(capture.takeLines().empty());
  zt::sync(zt::mainQueue(), [&] { capture.output()->setAcceptingAudio(true); });
  ZTEmitPCM(test::makeWireBuffer(ramp(4000)), "system", capture.output());
  EXPECT_EQ(capture.takeAudio().size(), 3u);
}

}  // namespace
}  // namespace zt
