// Slicing wire-format PCM into audio events.
#include <gtest/gtest.h>

#include "audio/ZTConverter.h"
#include "audio/output_capture.h"
#include "audio/pcm_fixtures.h"
#include "base/dispatch.h"

namespace zt {
namespace {

using test::OutputCapture;

// Sample values that use both bytes and the sign, so byte order and offsets
// show.
std::vector<int16_t> ramp(size_t n) {
  std::vector<int16_t> samples(n);
  for (size_t i = 0; i < n; ++i) samples[i] = static_cast<int16_t>(static_cast<int>(i * 37 % 65536) - 32768);
  return samples;
}

TEST(ZTEmitPCM, SlicesIntoEventsOfAtMost3200BytesInOrder) {
  const struct {
    size_t frames;
    std::vector<size_t> eventBytes;
  } cases[] = {{1, {2}},
               {1600, {3200}},
               {1601, {3200, 2}},
               {16123, {3200, 3200, 3200, 3200, 3200, 3200, 3200, 3200, 3200, 3200, 246}}};
  for (const auto& c : cases) {
    OutputCapture capture;
    const auto samples = ramp(c.frames);
    EXPECT_TRUE(ZTEmitPCM(test::makeWireBuffer(samples), "microphone", capture.output()));
    const auto events = capture.takeAudio();
    std::vector<size_t> bytes;
    for (const auto& event : events) {
      bytes.push_back(event.samples.size() * 2);
      EXPECT_EQ(event.source, "microphone");
    }
    EXPECT_EQ(bytes, c.eventBytes) << c.frames;
    EXPECT_EQ(OutputCapture::samples(events), samples) << c.frames;
  }
}

TEST(ZTEmitPCM, SamplesGoOutLittleEndian) {
  OutputCapture capture;
  ZTEmitPCM(test::makeWireBuffer({0x0102, -2}), "system", capture.output());
  const auto lines = capture.takeLines();
  ASSERT_EQ(lines.size(), 1u);
  // 02 01 FE FF in base64.
  EXPECT_NE(lines[0].find("\"audio\":\"AgH+/w==\""), std::string::npos) << lines[0];
}

TEST(ZTEmitPCM, MalformedBuffersMakeNoEventAndFail) {
  OutputCapture capture;
  EXPECT_TRUE(ZTEmitPCM(test::makeWireBuffer({}), "system", capture.output()));
  // A frame length past the data: nothing of it goes out.
  std::vector<int16_t> storage = ramp(8);
  platform::AudioBufferList list;
  list.buffers.push_back({1, static_cast<uint32_t>(storage.size() * sizeof(int16_t)), storage.data()});
  EXPECT_FALSE(
      ZTEmitPCM(platform::PCMBuffer::wrapping(platform::wireFormat(), 9, list), "system", capture.output()));
  platform::AudioFormat stereo = platform::wireFormat();
  stereo.channelCount = 2;
  EXPECT_FALSE(ZTEmitPCM(platform::PCMBuffer::wrapping(stereo, 4, list), "system", capture.output()));
  EXPECT_TRUE(capture.takeLines().empty());
  // The same list with a frame length it holds goes out whole.
  EXPECT_TRUE(
      ZTEmitPCM(platform::PCMBuffer::wrapping(platform::wireFormat(), 8, list), "system", capture.output()));
  EXPECT_EQ(OutputCapture::samples(capture.takeAudio()), storage);
}

TEST(ZTEmitPCM, EventsAreDroppedWhileTheOutputRefusesAudio) {
  OutputCapture capture;
  zt::sync(zt::mainQueue(), [&] { capture.output()->setAcceptingAudio(false); });
  ZTEmitPCM(test::makeWireBuffer(ramp(4000)), "system", capture.output());
  EXPECT_TRUE(capture.takeLines().empty());
}

}  // namespace
}  // namespace zt
