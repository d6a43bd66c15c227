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

// What one call of the scripted converter does: ask the block `asks`
// times, write `frames` frames, maybe fill the error slot, answer `status`.
struct Step {
  ConverterOutputStatus status;
  uint32_t frames = 0;
  int asks = 1;
  bool fillError = false;
};

struct Answer {
  ConverterInputStatus status;
  const PCMBuffer* buffer;
};

// Everything the scripted converters saw, across converters, in order.
struct Journal {
  std::vector<std::string> calls;  // "<id>:convert"
  std::vector<uint32_t> capacities;
  std::vector<Answer> answers;
  bool downmix = false;
  std::optional<platform::ConverterPrimeMethod> primeMethod;
};

class ScriptedConverter : public platform::AudioConverter {
 public:
  ScriptedConverter(int id, AudioFormat in, AudioFormat out, std::deque<Step> steps, Journal* journal)
      : id_(id), in_(in), out_(out), steps_(std::move(steps)), journal_(journal) {}
  const AudioFormat& inputFormat() const override { return in_; }
  const AudioFormat& outputFormat() const override { return out_; }
  void setDownmix(bool downmix) override { journal_->downmix = downmix; }
  void setPrimeMethod(platform::ConverterPrimeMethod method) override { journal_->primeMethod = method; }

  ConverterOutputStatus convert(PCMBuffer& output, std::optional<platform::Error>* error,
                                const ConverterInputBlock& input) override {
    journal_->calls.push_back(std::to_string(id_) + ":convert");
    journal_->capacities.push_back(output.frameCapacity());
    if (steps_.empty()) return ConverterOutputStatus::Error;
    const Step step = steps_.front();
    steps_.pop_front();
    for (int i = 0; i < step.asks; ++i) {
      auto status = static_cast<ConverterInputStatus>(99);
      const PCMBuffer* buffer = input(64, &status);
      journal_->answers.push_back(Answer{status, buffer});
    }
    // Samples carry the converter's id and a running count, so their order
    // in the output shows which converter wrote them, and when.
    output.setFrameLength(step.frames);
    if (int16_t* samples = output.int16ChannelData())
      for (uint32_t i = 0; i < step.frames; ++i) samples[i] = static_cast<int16_t>(id_ * 10000 + written_++);
    if (step.fillError) *error = platform::Error{"test", 1};
    return step.status;
  }

 private:
  int id_;
  AudioFormat in_;
  AudioFormat out_;
  std::deque<Step> steps_;
  Journal* journal_;
  int written_ = 0;
};

// A platform whose n-th converter follows the n-th script; beyond the
// scripts it can make none.
struct ScriptedPlatform {
  explicit ScriptedPlatform(std::vector<std::deque<Step>> scripts,
                            AudioFormat output = platform::wireFormat())
      : platform([this, scripts, output](const AudioFormat& from,
                                         const AudioFormat&) -> std::unique_ptr<platform::AudioConverter> {
          const size_t n = made++;
          if (n >= scripts.size()) return nullptr;
          return std::make_unique<ScriptedConverter>(static_cast<int>(n + 1), from, output, scripts[n],
                                                     &journal);
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

std::vector<int16_t> concat(std::initializer_list<std::vector<int16_t>> parts) {
  std::vector<int16_t> all;
  for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

TEST(ZTConverter, InvalidBufferFailsBeforeAnyConverterIsMade) {
  ScriptedPlatform scripted({{{ConverterOutputStatus::InputRanDry}}});
  OutputCapture capture;
  ZTConverter converter(scripted.platform);
  const auto empty = PCMBuffer::wrapping(kStereo48k, 0, std::nullopt);
  EXPECT_FALSE(converter.convert(empty, "system", capture.output()));
  EXPECT_FALSE(
      converter.convert(PCMBuffer::wrapping(kStereo48k, 480, std::nullopt), "system", capture.output()));
  EXPECT_EQ(scripted.platform.converterRequests, 0);
  EXPECT_EQ(converter.converter(), nullptr);
  EXPECT_TRUE(capture.takeLines().empty());
}

TEST(ZTConverter, ConverterThatCannotBeMadeFailsAndIsAskedForAgainNextTime) {
  ScriptedPlatform scripted({});
  OutputCapture capture;
  ZTConverter converter(scripted.platform);
  EXPECT_FALSE(converter.convert(silence(kStereo48k, 480), "system", capture.output()));
  EXPECT_EQ(converter.converter(), nullptr);
  EXPECT_FALSE(converter.convert(silence(kStereo48k, 480), "system", capture.output()));
  EXPECT_EQ(scripted.platform.converterRequests, 2);
}

TEST(ZTConverter, AsksForAWireFormatConverterWithDownmixAndNoPriming) {
  ScriptedPlatform scripted({{{ConverterOutputStatus::InputRanDry, 0}}});
  OutputCapture capture;
  ZTConverter converter(scripted.platform);
  EXPECT_TRUE(converter.convert(silence(kStereo48k, 480), "system", capture.output()));
  EXPECT_EQ(scripted.platform.lastFrom, kStereo48k);
  EXPECT_EQ(scripted.platform.lastTo, platform::wireFormat());
  EXPECT_TRUE(scripted.journal.downmix);
  EXPECT_EQ(scripted.journal.primeMethod, platform::ConverterPrimeMethod::None);
  ASSERT_EQ(scripted.journal.capacities.size(), 1u);
  EXPECT_EQ(scripted.journal.capacities[0], 160u + 256u);
  EXPECT_NE(converter.converter(), nullptr);
  EXPECT_TRUE(capture.takeLines().empty()) << "zero frames emit nothing";
}

TEST(ZTConverter, LargestBufferGetsACapacityOfExactly33024) {
  ScriptedPlatform scripted({{{ConverterOutputStatus::InputRanDry, 0}}});
  OutputCapture capture;
  ZTConverter converter(scripted.platform);
  EXPECT_TRUE(converter.convert(silence(AudioFormat{SampleType::Int16, 8000, 1, true}, 16384), "system",
                                capture.output()));
  ASSERT_EQ(scripted.journal.capacities.size(), 1u);
  EXPECT_EQ(scripted.journal.capacities[0], 33024u);
}

TEST(ZTConverter, HandsTheBufferOverOnceAcrossAllPasses) {
  ScriptedPlatform scripted(
      {{{ConverterOutputStatus::HaveData, 416, 2}, {ConverterOutputStatus::InputRanDry, 5, 1}}});
  OutputCapture capture;
  ZTConverter converter(scripted.platform);
  const auto buffer = silence(kStereo48k, 480);
  EXPECT_TRUE(converter.convert(buffer, "system", capture.output()));
  const auto& answers = scripted.journal.answers;
  ASSERT_EQ(answers.size(), 3u);
  EXPECT_EQ(answers[0].status, ConverterInputStatus::HaveData);
  EXPECT_EQ(answers[0].buffer, &buffer);
  for (size_t i = 1; i < answers.size(); ++i) {
    EXPECT_EQ(answers[i].status, ConverterInputStatus::NoDataNow);
    EXPECT_EQ(answers[i].buffer, nullptr);
  }
  EXPECT_EQ(OutputCapture::samples(capture.takeAudio()), expectedRun(1, 0, 421));
}

TEST(ZTConverter, EachCallHandsOverItsOwnBuffer) {
  ScriptedPlatform scripted(
      {{{ConverterOutputStatus::InputRanDry, 1}, {ConverterOutputStatus::InputRanDry, 1}}});
  OutputCapture capture;
  ZTConverter converter(scripted.platform);
  const auto first = silence(kStereo48k, 480);
  const auto second = silence(kStereo48k, 480);
  EXPECT_TRUE(converter.convert(first, "system", capture.output()));
  EXPECT_TRUE(converter.convert(second, "system", capture.output()));
  ASSERT_EQ(scripted.journal.answers.size(), 2u);
  EXPECT_EQ(scripted.journal.answers[1].status, ConverterInputStatus::HaveData);
  EXPECT_EQ(scripted.journal.answers[1].buffer, &second);
  EXPECT_EQ(scripted.made, 1u) << "the same format continues the same converter";
}

TEST(ZTConverter, EndOfStreamFromAConversionIsSuccess) {
  ScriptedPlatform scripted({{{ConverterOutputStatus::EndOfStream, 4}}});
  OutputCapture capture;
  ZTConverter converter(scripted.platform);
  EXPECT_TRUE(converter.convert(silence(kStereo48k, 480), "microphone", capture.output()));
  const auto events = capture.takeAudio();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].source, "microphone");
}

TEST(ZTConverter, ConverterErrorsFailButKeepWhatWasEmitted) {
  // A failed call's own frames are dropped; a status the loop does not know
  // comes after the frames were emitted, so those stay.
  const std::vector<std::pair<std::deque<Step>, int>> failures = {
      {{{ConverterOutputStatus::HaveData, 10}, {ConverterOutputStatus::Error, 3}}, 10},
      {{{ConverterOutputStatus::HaveData, 10}, {ConverterOutputStatus::InputRanDry, 3, 1, true}}, 10},
      {{{ConverterOutputStatus::HaveData, 10}, {static_cast<ConverterOutputStatus>(7), 3}}, 13},
  };
  for (size_t i = 0; i < failures.size(); ++i) {
    ScriptedPlatform scripted({failures[i].first});
    OutputCapture capture;
    ZTConverter converter(scripted.platform);
    EXPECT_FALSE(converter.convert(silence(kStereo48k, 480), "system", capture.output())) << i;
    EXPECT_EQ(OutputCapture::samples(capture.takeAudio()), expectedRun(1, 0, failures[i].second)) << i;
  }
}

TEST(ZTConverter, OutputWithoutSixteenBitDataFails) {
  ScriptedPlatform scripted({{{ConverterOutputStatus::InputRanDry, 5}}},
                            AudioFormat{SampleType::Float32, 16000, 1, true});
  OutputCapture capture;
  ZTConverter converter(scripted.platform);
  EXPECT_FALSE(converter.convert(silence(kStereo48k, 480), "system", capture.output()));
  EXPECT_TRUE(capture.takeLines().empty());
}

TEST(ZTConverter, FullPassWithNoFramesFails) {
  ScriptedPlatform scripted(
      {{{ConverterOutputStatus::HaveData, 0}, {ConverterOutputStatus::InputRanDry, 1}}});
  OutputCapture capture;
  ZTConverter converter(scripted.platform);
  EXPECT_FALSE(converter.convert(silence(kStereo48k, 480), "system", capture.output()));
  EXPECT_EQ(scripted.journal.calls.size(), 1u);
}

TEST(ZTConverter, AtMostEightPassesPerConversion) {
  std::deque<Step> full(9, Step{ConverterOutputStatus::HaveData, 3});
  ScriptedPlatform scripted({full});
  OutputCapture capture;
  ZTConverter converter(scripted.platform);
  EXPECT_FALSE(converter.convert(silence(kStereo48k, 480), "system", capture.output()));
  EXPECT_EQ(scripted.journal.calls.size(), 8u);
  EXPECT_EQ(OutputCapture::samples(capture.takeAudio()), expectedRun(1, 0, 24));

  // Seven full passes and a dry one are within the limit.
  std::deque<Step> seven(7, Step{ConverterOutputStatus::HaveData, 3});
  seven.push_back(Step{ConverterOutputStatus::InputRanDry, 1});
  ScriptedPlatform enough({seven});
  ZTConverter converter2(enough.platform);
  EXPECT_TRUE(converter2.convert(silence(kStereo48k, 480), "system", capture.output()));
  EXPECT_EQ(OutputCapture::samples(capture.takeAudio()), expectedRun(1, 0, 22));
}

TEST(ZTConverter, FinishingAnUnusedConverterSucceedsAndEmitsNothing) {
  ScriptedPlatform scripted({});
  OutputCapture capture;
  ZTConverter converter(scripted.platform);
  EXPECT_TRUE(converter.finishSource("system", capture.output()));
  EXPECT_EQ(scripted.platform.converterRequests, 0);
  EXPECT_TRUE(capture.takeLines().empty());

  // The same with the real converter.
  TestPlatform soxr;
  ZTConverter real(soxr);
  EXPECT_TRUE(real.finishSource("system", capture.output()));
  EXPECT_TRUE(capture.takeLines().empty());
}

TEST(ZTConverter, FinishDrainsInTailBuffersUntilTheEnd) {
  ScriptedPlatform scripted({{{ConverterOutputStatus::InputRanDry, 0},
                              {ConverterOutputStatus::HaveData, 2048},
                              {ConverterOutputStatus::InputRanDry, 7},
                              {ConverterOutputStatus::EndOfStream, 5}}});
  OutputCapture capture;
  ZTConverter converter(scripted.platform);
  ASSERT_TRUE(converter.convert(silence(kStereo48k, 480), "system", capture.output()));
  auto* before = converter.converter();
  EXPECT_TRUE(converter.finishSource("system", capture.output()));
  EXPECT_EQ(converter.converter(), before) << "finishing does not drop the converter";
  const auto& journal = scripted.journal;
  ASSERT_EQ(journal.capacities.size(), 4u);
  for (size_t i = 1; i < 4; ++i) EXPECT_EQ(journal.capacities[i], 2048u);
  ASSERT_EQ(journal.answers.size(), 4u);
  for (size_t i = 1; i < 4; ++i) {
    EXPECT_EQ(journal.answers[i].status, ConverterInputStatus::EndOfStream);
    EXPECT_EQ(journal.answers[i].buffer, nullptr);
  }
  EXPECT_EQ(OutputCapture::samples(capture.takeAudio()), expectedRun(1, 0, 2060));
}

TEST(ZTConverter, FinishEndsOnADryPassWithNothingLeft) {
  ScriptedPlatform scripted(
      {{{ConverterOutputStatus::InputRanDry, 0}, {ConverterOutputStatus::InputRanDry, 0}}});
  OutputCapture capture;
  ZTConverter converter(scripted.platform);
  ASSERT_TRUE(converter.convert(silence(kStereo48k, 480), "system", capture.output()));
  EXPECT_TRUE(converter.finishSource("system", capture.output()));
  EXPECT_EQ(scripted.journal.calls.size(), 2u);
}

TEST(ZTConverter, FinishFailures) {
  const Step ready{ConverterOutputStatus::InputRanDry, 0};
  std::deque<Step> endless(9, Step{ConverterOutputStatus::HaveData, 1});
  endless.push_front(ready);
  const std::vector<std::pair<const char*, std::deque<Step>>> cases = {
      {"error status", {ready, {ConverterOutputStatus::Error, 0}}},
      {"error object", {ready, {ConverterOutputStatus::EndOfStream, 0, 1, true}}},
      {"full and empty",
       {ready, {ConverterOutputStatus::HaveData, 0}, {ConverterOutputStatus::EndOfStream, 0}}},
      {"unknown status", {ready, {static_cast<ConverterOutputStatus>(7), 0}}},
      {"never ends", endless},
  };
  for (const auto& [what, steps] : cases) {
    ScriptedPlatform scripted({steps});
    OutputCapture capture;
    ZTConverter converter(scripted.platform);
    ASSERT_TRUE(converter.convert(silence(kStereo48k, 480), "system", capture.output())) << what;
    EXPECT_FALSE(converter.finishSource("system", capture.output())) << what;
    EXPECT_LE(scripted.journal.calls.size(), 9u) << what << ": at most eight tail passes";
  }
}

TEST(ZTConverter, FormatChangeSendsTheOldTailBeforeTheNewAudio) {
  ScriptedPlatform scripted(
      {{{ConverterOutputStatus::InputRanDry, 10}, {ConverterOutputStatus::EndOfStream, 20}},
       {{ConverterOutputStatus::InputRanDry, 30}}});
  OutputCapture capture;
  ZTConverter converter(scripted.platform);
  ASSERT_TRUE(converter.convert(silence(kStereo48k, 480), "microphone", capture.output()));
  const auto newFormat = silence(kStereo44k, 441);
  ASSERT_TRUE(converter.convert(newFormat, "microphone", capture.output()));
  EXPECT_EQ(scripted.journal.calls, (std::vector<std::string>{"1:convert", "1:convert", "2:convert"}));
  EXPECT_EQ(scripted.journal.answers[1].status, ConverterInputStatus::EndOfStream);
  EXPECT_EQ(scripted.journal.answers[2].buffer, &newFormat);
  EXPECT_EQ(scripted.platform.lastFrom, kStereo44k);
  EXPECT_EQ(converter.converter()->inputFormat(), kStereo44k);
  const auto events = capture.takeAudio();
  for (const auto& event : events) EXPECT_EQ(event.source, "microphone");
  EXPECT_EQ(OutputCapture::samples(events), concat({expectedRun(1, 0, 30), expectedRun(2, 0, 30)}));
}

TEST(ZTConverter, FailedFlushAtAFormatChangeKeepsTheOldConverter) {
  ScriptedPlatform scripted({{{ConverterOutputStatus::InputRanDry, 10}, {ConverterOutputStatus::Error, 0}},
                             {{ConverterOutputStatus::InputRanDry, 30}}});
  OutputCapture capture;
  ZTConverter converter(scripted.platform);
  ASSERT_TRUE(converter.convert(silence(kStereo48k, 480), "system", capture.output()));
  auto* old = converter.converter();
  EXPECT_FALSE(converter.convert(silence(kStereo44k, 441), "system", capture.output()));
  EXPECT_EQ(converter.converter(), old);
  EXPECT_EQ(converter.converter()->inputFormat(), kStereo48k);
  EXPECT_EQ(scripted.made, 1u);
}

TEST(ZTConverter, FormatChangeToAFormatWithNoConverterFailsAfterTheTail) {
  ScriptedPlatform scripted(
      {{{ConverterOutputStatus::InputRanDry, 10}, {ConverterOutputStatus::EndOfStream, 20}}});
  OutputCapture capture;
  ZTConverter converter(scripted.platform);
  ASSERT_TRUE(converter.convert(silence(kStereo48k, 480), "system", capture.output()));
  EXPECT_FALSE(converter.convert(silence(kStereo44k, 441), "system", capture.output()));
  EXPECT_EQ(converter.converter(), nullptr);
  EXPECT_EQ(OutputCapture::samples(capture.takeAudio()), expectedRun(1, 0, 30));
}

}  // namespace
}  // namespace zt
