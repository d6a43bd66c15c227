// ZTConverter's loop against a scripted converter; buffer bounds; slicing.
#include "audio/ZTConverter.h"

#include <gtest/gtest.h>

#include <deque>
#include <limits>

#include "audio/fixtures.h"

namespace zt {
namespace {

using platform::AudioFormat;
using platform::ConverterInputStatus;
using platform::PCMBuffer;
using Status = platform::ConverterOutputStatus;

constexpr auto kFull = Status::HaveData;
constexpr auto kDry = Status::InputRanDry;
constexpr auto kEnd = Status::EndOfStream;
constexpr auto kUnknown = static_cast<Status>(7);

// One call of the scripted converter.
struct Step {
  Status status;
  uint32_t frames = 0;
  bool fillError = false;
};

// Its n-th sample is n, so the output shows which calls' frames went out.
class ScriptedConverter : public platform::AudioConverter {
 public:
  ScriptedConverter(AudioFormat in, AudioFormat out, std::deque<Step> steps)
      : in_(in), out_(out), steps_(std::move(steps)) {}
  const AudioFormat& inputFormat() const override { return in_; }
  const AudioFormat& outputFormat() const override { return out_; }
  void setDownmix(bool) override {}
  void setPrimeMethod(platform::ConverterPrimeMethod) override {}
  Status convert(PCMBuffer& output, std::optional<platform::Error>* error,
                 const platform::ConverterInputBlock& input) override {
    ConverterInputStatus status;
    input(64, &status);
    if (steps_.empty()) return Status::Error;
    const Step step = steps_.front();
    steps_.pop_front();
    output.setFrameLength(step.frames);
    if (int16_t* samples = output.int16ChannelData())
      for (uint32_t i = 0; i < step.frames; ++i) samples[i] = static_cast<int16_t>(written_++);
    if (step.fillError) *error = platform::Error{"test", 1};
    return step.status;
  }

 private:
  AudioFormat in_, out_;
  std::deque<Step> steps_;
  int written_ = 0;
};

struct Scripted {
  explicit Scripted(std::deque<Step> steps, AudioFormat output = platform::wireFormat())
      : platform([steps, output](const AudioFormat& from, const AudioFormat&) {
          return std::make_unique<ScriptedConverter>(from, output, steps);
        }) {}
  test::TestPlatform platform;
  test::OutputCapture capture;
  ZTConverter converter{platform};
  bool convert() {
    const AudioFormat format{platform::SampleType::Float32, 48000, 2, true};
    return converter.convert(test::makeBuffer(format, 480, [](uint32_t, uint64_t) { return 0.0; }), "system",
                             capture.output());
  }
};

std::vector<int16_t> firstSamples(int count) {
  std::vector<int16_t> samples(count);
  for (int i = 0; i < count; ++i) samples[i] = static_cast<int16_t>(i);
  return samples;
}

// Frames of a failed call are dropped, but not those before an unknown
// status, which ends the loop.
TEST(ZTConverter, ConversionOutcomes) {
  std::deque<Step> nine(9, Step{kFull, 3}), sevenAndDry(7, Step{kFull, 3});
  sevenAndDry.push_back({kDry, 1});
  const AudioFormat floatOutput{platform::SampleType::Float32, 16000, 1, true};
  const struct {
    const char* name;
    std::deque<Step> steps;
    bool ok;
    int samples;
    AudioFormat output = platform::wireFormat();
  } cases[] = {
      {"end of stream", {{kEnd, 4}}, true, 4},
      {"error status", {{kFull, 10}, {Status::Error, 3}}, false, 10},
      {"error object", {{kFull, 10}, {kDry, 3, true}}, false, 10},
      {"unknown status", {{kFull, 10}, {kUnknown, 3}, {kDry, 5}}, false, 13},
      {"full and empty", {{kFull, 0}, {kDry, 1}}, false, 0},
      {"nine full passes", nine, false, 24},
      {"seven full passes and a dry one", sevenAndDry, true, 22},
      {"output without 16-bit data", {{kDry, 5}}, false, 0, floatOutput},
  };
  for (const auto& c : cases) {
    Scripted s(c.steps, c.output);
    EXPECT_EQ(s.convert(), c.ok) << c.name;
    EXPECT_EQ(s.capture.takeSamples(), firstSamples(c.samples)) << c.name;
  }
}

TEST(ZTConverter, FinishOutcomes) {
  const Step ready{kDry, 0};
  std::deque<Step> endless(9, Step{kFull, 1});
  endless.push_front(ready);
  const struct {
    const char* name;
    std::deque<Step> steps;
    bool ok;
    int samples;
  } cases[] = {
      {"drains to the end", {ready, {kFull, 2048}, {kDry, 7}, {kEnd, 5}}, true, 2060},
      {"dry with nothing left", {ready, ready}, true, 0},
      {"error status", {ready, {Status::Error, 0}}, false, 0},
      {"error object", {ready, {kEnd, 0, true}}, false, 0},
      {"full and empty", {ready, {kFull, 0}, {kEnd, 0}}, false, 0},
      {"unknown status", {ready, {kUnknown, 0}}, false, 0},
      {"never ends", endless, false, 8},
  };
  for (const auto& c : cases) {
    Scripted s(c.steps);
    ASSERT_TRUE(s.convert()) << c.name;
    EXPECT_EQ(s.converter.finishSource("system", s.capture.output()), c.ok) << c.name;
    EXPECT_EQ(s.capture.takeSamples(), firstSamples(c.samples)) << c.name;
  }
}

// The bounds never read samples: one small block backs every buffer. `last`
// overrides the last buffer's size; 0 leaves it without data.
platform::AudioBufferList listOf(uint32_t buffers, uint32_t bytesEach,
                                 std::optional<uint32_t> last = std::nullopt) {
  static std::vector<std::byte> backing(64);
  platform::AudioBufferList list;
  for (uint32_t i = 0; i < buffers; ++i) list.buffers.push_back({1, bytesEach, backing.data()});
  if (last) list.buffers.back() = {1, *last, *last ? backing.data() : nullptr};
  return list;
}

TEST(ZTValidBuffer, EveryBoundAtItsEdge) {
  const platform::AudioBufferList one = listOf(1, 3840);
  const struct {
    uint32_t frames, channels;
    double rate;
    std::optional<platform::AudioBufferList> list;
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

// Little-endian slices of at most 3200 bytes; malformed buffers send nothing.
TEST(ZTEmitPCM, Slices) {
  std::vector<int16_t> samples(16123);
  for (size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<int16_t>(i * 37 % 65536 - 32768);
  const std::pair<size_t, std::vector<size_t>> cases[] = {
      {0, {}},
      {1600, {3200}},
      {1601, {3200, 2}},
      {16123, {3200, 3200, 3200, 3200, 3200, 3200, 3200, 3200, 3200, 3200, 246}}};
  for (const auto& [frames, eventBytes] : cases) {
    test::OutputCapture capture;
    const std::vector<int16_t> sent(samples.begin(), samples.begin() + frames);
    EXPECT_TRUE(ZTEmitPCM(test::makeWireBuffer(sent), "system", capture.output()));
    std::vector<size_t> bytes;
    EXPECT_EQ(capture.takeSamples(&bytes), sent);
    EXPECT_EQ(bytes, eventBytes) << frames;
  }
  test::OutputCapture capture;
  ZTEmitPCM(test::makeWireBuffer({0x0102, -2}), "system", capture.output());
  EXPECT_EQ(capture.takeLines(),
            std::vector<std::string>{"{\"audio\":\"AgH+/w==\",\"event\":\"audio\",\"source\":\"system\"}"});
  platform::AudioBufferList list;
  list.buffers.push_back({1, 16, samples.data()});
  platform::AudioFormat stereo = platform::wireFormat();
  stereo.channelCount = 2;
  EXPECT_FALSE(
      ZTEmitPCM(platform::PCMBuffer::wrapping(platform::wireFormat(), 9, list), "system", capture.output()));
  EXPECT_FALSE(ZTEmitPCM(platform::PCMBuffer::wrapping(stereo, 4, list), "system", capture.output()));
  EXPECT_TRUE(
      ZTEmitPCM(platform::PCMBuffer::wrapping(platform::wireFormat(), 8, list), "system", capture.output()));
  EXPECT_EQ(capture.takeSamples(), std::vector<int16_t>(samples.begin(), samples.begin() + 8));
}

}  // namespace
}  // namespace zt
