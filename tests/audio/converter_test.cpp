// ZTConverter's calling loop, limits and failures, driven by a scripted
// platform converter whose every call the test decides.
#include "audio/ZTConverter.h"

#include <gtest/gtest.h>

#include <deque>

#include "audio/output_capture.h"
#include "audio/pcm_fixtures.h"
#include "audio/test_platform.h"

namespace zt {
namespace {

using platform::AudioFormat;
using platform::ConverterInputBlock;
using platform::ConverterInputStatus;
using platform::ConverterOutputStatus;
using platform::PCMBuffer;
using platform::SampleType;
using test::OutputCapture;
using test::TestPlatform;

constexpr auto kFull = ConverterOutputStatus::HaveData;
constexpr auto kDry = ConverterOutputStatus::InputRanDry;
constexpr auto kEnd = ConverterOutputStatus::EndOfStream;
constexpr auto kError = ConverterOutputStatus::Error;
constexpr auto kUnknown = static_cast<ConverterOutputStatus>(7);

// What one call of the scripted converter does: ask the block `asks`
// times, write `frames` frames, maybe fill the error slot, answer `status`.
struct Step {
  ConverterOutputStatus status;
  uint32_t frames = 0;
  int asks = 1;
  bool fillError = false;
};

// Everything the scripted converters saw, across converters, in order.
struct Journal {
  std::vector<int> calls;  // the id of the converter called
  using Answer = std::pair<ConverterInputStatus, const PCMBuffer*>;
  std::vector<Answer> answers;
  bool downmix = false;
};

// Its samples carry the converter's id and a running count, so their order
// in the output shows which converter wrote them, and when.
class ScriptedConverter : public platform::AudioConverter {
 public:
  ScriptedConverter(int id, AudioFormat in, AudioFormat out, std::deque<Step> steps, Journal* journal)
      : id_(id), in_(in), out_(out), steps_(std::move(steps)), journal_(journal) {}
  const AudioFormat& inputFormat() const override { return in_; }
  const AudioFormat& outputFormat() const override { return out_; }
  void setDownmix(bool downmix) override { journal_->downmix = downmix; }
  void setPrimeMethod(platform::ConverterPrimeMethod) override {}

  ConverterOutputStatus convert(PCMBuffer& output, std::optional<platform::Error>* error,
                                const ConverterInputBlock& input) override {
    journal_->calls.push_back(id_);
    if (steps_.empty()) return kError;
    const Step step = steps_.front();
    steps_.pop_front();
    for (int i = 0; i < step.asks; ++i) {
      auto status = static_cast<ConverterInputStatus>(99);
      const PCMBuffer* buffer = input(64, &status);
      journal_->answers.emplace_back(status, buffer);
    }
    output.setFrameLength(step.frames);
    if (int16_t* samples = output.int16ChannelData())
      for (uint32_t i = 0; i < step.frames; ++i) samples[i] = static_cast<int16_t>(id_ * 10000 + written_++);
    if (step.fillError) *error = platform::Error{"test", 1};
    return step.status;
  }

 private:
  int id_;
  AudioFormat in_, out_;
  std::deque<Step> steps_;
  Journal* journal_;
  int written_ = 0;
};

// A platform whose n-th converter follows the n-th script; beyond the
// scripts it can make none.
struct ScriptedPlatform {
  explicit ScriptedPlatform(std::vector<std::deque<Step>> scripts,
                            AudioFormat output = platform::wireFormat())
      : platform([this, scripts, output](const AudioFormat& from, const AudioFormat&) {
          const size_t n = made++;
          return n < scripts.size() ? std::make_unique<ScriptedConverter>(static_cast<int>(n + 1), from,
                                                                          output, scripts[n], &journal)
                                    : nullptr;
        }) {}
  Journal journal;
  size_t made = 0;
  TestPlatform platform;
};

const AudioFormat kStereo48k{SampleType::Float32, 48000, 2, true};
const AudioFormat kStereo44k{SampleType::Float32, 44100, 2, true};

PCMBuffer silence(const AudioFormat& format, uint32_t frames) {
  return test::makeBuffer(format, frames, [](uint32_t, uint64_t) { return 0.0; });
}

std::vector<int16_t> expectedRun(int id, int from, int count) {
  std::vector<int16_t> samples;
  for (int i = 0; i < count; ++i) samples.push_back(static_cast<int16_t>(id * 10000 + from + i));
  return samples;
}

TEST(ZTConverter, FailsWithoutAValidBufferOrAConverterAndAsksAgainNextTime) {
  ScriptedPlatform scripted({});
  OutputCapture capture;
  ZTConverter converter(scripted.platform);
  EXPECT_FALSE(
      converter.convert(PCMBuffer::wrapping(kStereo48k, 0, std::nullopt), "system", capture.output()));
  EXPECT_EQ(scripted.platform.converterRequests, 0);
  for (int i = 1; i <= 2; ++i) {
    EXPECT_FALSE(converter.convert(silence(kStereo48k, 480), "system", capture.output()));
    EXPECT_EQ(scripted.platform.converterRequests, i);
  }
  EXPECT_TRUE(capture.takeLines().empty());
}

TEST(ZTConverter, AsksForADownmixingWireConverterAndHandsEachBufferOverOnce) {
  ScriptedPlatform scripted({{{kFull, 416, 2}, {kDry, 5, 1}, {kDry, 1}}});
  OutputCapture capture;
  ZTConverter converter(scripted.platform);
  const auto first = silence(kStereo48k, 480);
  const auto second = silence(kStereo48k, 480);
  EXPECT_TRUE(converter.convert(first, "system", capture.output()));
  EXPECT_TRUE(converter.convert(second, "system", capture.output()));
  EXPECT_EQ(scripted.platform.lastFrom, kStereo48k);
  EXPECT_EQ(scripted.platform.lastTo, platform::wireFormat());
  EXPECT_TRUE(scripted.journal.downmix);
  EXPECT_EQ(scripted.made, 1u) << "the same format continues the same converter";
  const auto& answers = scripted.journal.answers;
  ASSERT_EQ(answers.size(), 4u);
  for (size_t i = 0; i < answers.size(); ++i) {
    const PCMBuffer* handed = i == 0 ? &first : i == 3 ? &second : nullptr;
    EXPECT_EQ(answers[i].first, handed ? ConverterInputStatus::HaveData : ConverterInputStatus::NoDataNow)
        << i;
    EXPECT_EQ(answers[i].second, handed) << i;
  }
  EXPECT_EQ(OutputCapture::samples(capture.takeAudio()), expectedRun(1, 0, 422));
}

// Frames of a failed call are dropped; a status the loop does not know comes
// after its frames were emitted, so those stay. A full pass without frames
// would never make progress.
TEST(ZTConverter, ConversionOutcomes) {
  const Step full3{kFull, 3};
  std::deque<Step> nine(9, full3), sevenAndDry(7, full3);
  sevenAndDry.push_back({kDry, 1});
  const AudioFormat floatOutput{SampleType::Float32, 16000, 1, true};
  const struct {
    const char* name;
    std::deque<Step> steps;
    bool ok;
    int samples;
    size_t calls;
    AudioFormat output = platform::wireFormat();
  } cases[] = {
      {"end of stream", {{kEnd, 4}}, true, 4, 1},
      {"error status", {{kFull, 10}, {kError, 3}}, false, 10, 2},
      {"error object", {{kFull, 10}, {kDry, 3, 1, true}}, false, 10, 2},
      {"unknown status", {{kFull, 10}, {kUnknown, 3}}, false, 13, 2},
      {"full and empty", {{kFull, 0}, {kDry, 1}}, false, 0, 1},
      {"nine full passes", nine, false, 24, 8},
      {"seven full passes and a dry one", sevenAndDry, true, 22, 8},
      {"output without 16-bit data", {{kDry, 5}}, false, 0, 1, floatOutput},
  };
  for (const auto& c : cases) {
    ScriptedPlatform scripted({c.steps}, c.output);
    OutputCapture capture;
    ZTConverter converter(scripted.platform);
    EXPECT_EQ(converter.convert(silence(kStereo48k, 480), "system", capture.output()), c.ok) << c.name;
    EXPECT_EQ(scripted.journal.calls.size(), c.calls) << c.name;
    EXPECT_EQ(OutputCapture::samples(capture.takeAudio()), expectedRun(1, 0, c.samples)) << c.name;
  }
}

// The tail is asked for with the end of the stream, in 2048-frame buffers,
// until the converter says it ended or a dry pass brings nothing.
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
      {"error status", {ready, {kError, 0}}, false, 0},
      {"error object", {ready, {kEnd, 0, 1, true}}, false, 0},
      {"full and empty", {ready, {kFull, 0}, {kEnd, 0}}, false, 0},
      {"unknown status", {ready, {kUnknown, 0}}, false, 0},
      {"never ends", endless, false, 8},
  };
  for (const auto& c : cases) {
    ScriptedPlatform scripted({c.steps});
    OutputCapture capture;
    ZTConverter converter(scripted.platform);
    EXPECT_TRUE(converter.finishSource("system", capture.output())) << "nothing to finish yet";
    ASSERT_TRUE(converter.convert(silence(kStereo48k, 480), "system", capture.output())) << c.name;
    auto* before = converter.converter();
    EXPECT_EQ(converter.finishSource("system", capture.output()), c.ok) << c.name;
    EXPECT_EQ(converter.converter(), before) << c.name;
    EXPECT_EQ(OutputCapture::samples(capture.takeAudio()), expectedRun(1, 0, c.samples)) << c.name;
    const auto& journal = scripted.journal;
    for (size_t i = 1; i < journal.answers.size(); ++i)
      EXPECT_EQ(journal.answers[i], Journal::Answer(ConverterInputStatus::EndOfStream, nullptr)) << c.name;
  }
}

TEST(ZTConverter, FormatChangeFailures) {
  // The old tail goes out before a new format's audio, which the fidelity
  // tests show. A failed flush keeps the old converter; a new format without
  // a converter fails after the old tail went out.
  ScriptedPlatform failedFlush({{{kDry, 10}, {kError, 0}}, {{kDry, 30}}});
  ScriptedPlatform noConverter({{{kDry, 10}, {kEnd, 20}}});
  for (ScriptedPlatform* scripted : {&failedFlush, &noConverter}) {
    OutputCapture capture;
    ZTConverter converter(scripted->platform);
    ASSERT_TRUE(converter.convert(silence(kStereo48k, 480), "system", capture.output()));
    auto* old = converter.converter();
    EXPECT_FALSE(converter.convert(silence(kStereo44k, 441), "system", capture.output()));
    EXPECT_EQ(converter.converter(), scripted == &failedFlush ? old : nullptr);
    EXPECT_EQ(OutputCapture::samples(capture.takeAudio()),
              expectedRun(1, 0, scripted == &failedFlush ? 10 : 30));
  }
  EXPECT_EQ(failedFlush.made, 1u);
}

}  // namespace
}  // namespace zt
