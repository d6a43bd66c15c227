// Sample admission in process: which buffers are taken, the four work slots,
// and what every refusal reports. Buffers are handed over by hand, on the
// queues the platform would use.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <thread>

#include "base/dispatch.h"
#include "capture/ZTCapture.h"
#include "platform/sim/sim_platform.h"
#include "support/audio_events.h"
#include "support/pipe_reader.h"

namespace zt {
namespace {

using namespace std::chrono_literals;
using platform::AudioFormat;
using platform::SampleType;
using sim::sineSampleBuffer;

const AudioFormat kStereo48k{SampleType::Float32, 48000, 2, true};
const AudioFormat kMono48k{SampleType::Float32, 48000, 1, true};

// One tap's worth of a microphone tone, over memory the engine owns.
struct TapBuffer {
  std::vector<std::vector<std::byte>> data = sim::sineBuffers(kMono48k, 1024, 0, 440, 0.5);
  platform::AudioBufferList list() {
    platform::AudioBufferList l;
    l.buffers.push_back({1, uint32_t(data[0].size()), data[0].data()});
    return l;
  }
  platform::PCMBuffer buffer() { return platform::PCMBuffer::wrapping(kMono48k, 1024, list()); }
};

class AdmissionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_CLOEXEC | O_NONBLOCK), 0);
    readFd_ = fds[0];
    reader_ = std::make_unique<test::LineReader>(readFd_);
    // Sessions are never torn down (as in the helper): these are leaked.
    platform_ = new sim::SimPlatform(sim::Scenario{});
    sync(mainQueue(), [&] {
      output_ = new ZTOutput(fds[1], [](int) {});
      capture_ = new ZTCapture(output_, *platform_);
      // Codes are recorded, not acted on, so that a test decides when the
      // session ends.
      output_->onError = [this](const std::string& code) {
        std::lock_guard lock(mutex_);
        codes_.push_back(code);
      };
    });
    static auto* kept = new std::vector<const void*>();
    kept->insert(kept->end(), {platform_, output_, capture_});
  }
  void TearDown() override { close(readFd_); }
  // Lets the session take audio and report again after a refusal.
  void reset() {
    sync(mainQueue(), [&] {
      output_->deliverError();
      output_->setAcceptingAudio(true);
    });
    std::lock_guard lock(mutex_);
    codes_.clear();
  }

  bool waitForPhase(CapturePhase wanted) {
    CapturePhase p{};
    for (int i = 0; i < 2000 && p != wanted; ++i) {
      if (i) std::this_thread::sleep_for(1ms);
      sync(mainQueue(), [&] { p = capture_->phaseForTesting(); });
    }
    return p == wanted;
  }
  void command(const std::string& word) {
    sync(mainQueue(), [&] { capture_->command(word); });
  }
  void record() {
    command("prepare");
    ASSERT_TRUE(waitForPhase(CapturePhase::Prepared));
    command("start");
    ASSERT_TRUE(waitForPhase(CapturePhase::Recording));
  }
  void deliver(std::shared_ptr<platform::SampleBuffer> buffer, int64_t type = platform::kStreamOutputAudio,
               platform::Stream* stream = nullptr) {
    platform::Stream* target = stream ? stream : capture_->activeStreamForTesting();
    sync(capture_->samplesQueueForTesting(), [&] { capture_->stream(target, buffer, type); });
  }
  void deliverMicrophone(const platform::PCMBuffer& buffer, std::optional<uint64_t> token = std::nullopt) {
    capture_->microphone(buffer, token.value_or(capture_->audioGenerationForTesting()));
  }
  // Waits for the conversion queue, then for codes to reach onError through
  // the main queue's flush.
  void idle() {
    sync(capture_->workQueueForTesting(), [] {});
    for (int i = 0; i < 3; ++i) sync(mainQueue(), [] {});
    std::this_thread::sleep_for(5ms);
    sync(mainQueue(), [] {});
  }
  std::vector<std::string> codes() {
    std::lock_guard lock(mutex_);
    return codes_;
  }
  int freeSlots() { return capture_->freeSlotsForTesting(); }
  std::vector<std::string> lines() {
    std::vector<std::string> all;
    while (auto line = reader_->next(50ms)) all.push_back(*line);
    return all;
  }

  int readFd_ = -1;
  std::unique_ptr<test::LineReader> reader_;
  sim::SimPlatform* platform_ = nullptr;
  ZTOutput* output_ = nullptr;
  ZTCapture* capture_ = nullptr;
  std::mutex mutex_;
  std::vector<std::string> codes_;
};

// Frame counts, and stream descriptions a system buffer may carry. Each
// refusal reports once and returns its slot.
TEST_F(AdmissionTest, SystemBufferBounds) {
  record();
  const auto ok = kStereo48k.streamDescription();
  auto with = [&](auto change) {
    auto d = ok;
    change(d);
    return std::optional(d);
  };
  auto of = [](SampleType type, double rate, uint32_t channels, bool interleaved = true) {
    return std::optional(AudioFormat{type, rate, channels, interleaved}.streamDescription());
  };
  const struct {
    const char* name;
    std::optional<platform::StreamDescription> description;
    int64_t frames;
    bool accepted;
  } cases[] = {
      {"0 frames", ok, 0, false},
      {"16385 frames", ok, 16385, false},
      {"16384 frames", ok, 16384, true},
      {"no description", std::nullopt, 256, false},
      {"9 channels", of(SampleType::Float32, 48000, 9), 256, false},
      {"65 bits", with([](auto& d) { d.bitsPerChannel = 65; }), 256, false},
      {"7999 Hz", of(SampleType::Float32, 7999, 1), 256, false},
      {"8 channels of 64 bits", of(SampleType::Float64, 48000, 8), 256, true},
      {"192000 Hz", of(SampleType::Int32, 192000, 2), 256, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    // Data sized for what the description claims, where it can be read.
    std::vector<std::vector<std::byte>> data;
    if (auto format = c.description ? AudioFormat::fromStreamDescription(*c.description) : std::nullopt)
      data = sim::sineBuffers(*format, static_cast<uint32_t>(c.frames), 0, 1000, 0.5);
    if (data.empty()) data.push_back(std::vector<std::byte>(256 * 16));
    deliver(std::make_shared<sim::SimSampleBuffer>(c.description, c.frames, data));
    idle();
    EXPECT_EQ(codes(),
              c.accepted ? std::vector<std::string>{} : std::vector<std::string>{"AUDIO_CONVERSION_FAILED"});
    EXPECT_EQ(freeSlots(), 4);
    reset();
  }
}

TEST_F(AdmissionTest, BuffersThatAreNotOursAreIgnoredSilently) {
  record();
  // Long enough that a conversion would bring out audio before any tail.
  auto buffer = sineSampleBuffer(kStereo48k, 4800, 0, 1000, 0.5);
  deliver(buffer, platform::kStreamOutputScreen);
  auto foreign = platform_->screenCapture().makeStream({}, {}, capture_);
  deliver(buffer, platform::kStreamOutputAudio, foreign.get());
  deliver(std::make_shared<sim::SimSampleBuffer>(kStereo48k.streamDescription(), 4800,
                                                 sim::sineBuffers(kStereo48k, 4800, 0, 1000, 0.5), false));
  // A microphone buffer of an earlier start.
  TapBuffer tap;
  const auto micBuffer = tap.buffer();
  deliverMicrophone(micBuffer, capture_->audioGenerationForTesting() - 1);
  idle();
  EXPECT_TRUE(codes().empty());
  EXPECT_EQ(freeSlots(), 4);
  // Nothing was converted.
  for (const auto& line : lines()) EXPECT_EQ(line.find("\"audio\""), std::string::npos) << line;

  // Once a pause closed admission, even our own buffers are dropped.
  platform::Stream* stream = capture_->activeStreamForTesting();
  command("pause");
  ASSERT_TRUE(waitForPhase(CapturePhase::Paused));
  deliver(buffer, platform::kStreamOutputAudio, stream);
  deliverMicrophone(micBuffer);
  idle();
  EXPECT_TRUE(codes().empty());
  EXPECT_EQ(freeSlots(), 4);
}

TEST_F(AdmissionTest, FifthBufferIsBackpressureAndSlotsComeBack) {
  record();
  dispatch_suspend(capture_->workQueueForTesting());
  TapBuffer tap;
  const auto micBuffer = tap.buffer();
  deliver(sineSampleBuffer(kStereo48k, 480, 0, 1000, 0.5));
  deliverMicrophone(micBuffer);
  deliver(sineSampleBuffer(kStereo48k, 480, 0.01, 1000, 0.5));
  deliverMicrophone(micBuffer);
  EXPECT_EQ(freeSlots(), 0);
  EXPECT_TRUE(codes().empty());
  deliverMicrophone(micBuffer);
  deliver(sineSampleBuffer(kStereo48k, 480, 0.02, 1000, 0.5));
  dispatch_resume(capture_->workQueueForTesting());
  idle();
  // Each refusal latches the code; a flush between them may deliver it twice.
  const auto refused = codes();
  ASSERT_FALSE(refused.empty());
  for (const auto& code : refused) EXPECT_EQ(code, "AUDIO_BACKPRESSURE");
  EXPECT_EQ(freeSlots(), 4);
}

TEST_F(AdmissionTest, RejectedMicrophoneBufferReturnsItsSlotAtOnce) {
  record();
  dispatch_suspend(capture_->workQueueForTesting());
  TapBuffer tap;
  const platform::AudioBufferList oneBuffer = tap.list();
  // Out of bounds, and a buffer claiming more bytes than its frames hold.
  deliverMicrophone(platform::PCMBuffer::wrapping(kMono48k, 0, oneBuffer));
  EXPECT_EQ(freeSlots(), 4);
  platform::AudioBufferList oversized = oneBuffer;
  oversized.buffers[0].dataByteSize += 4;
  std::vector<std::byte> big(tap.data[0].size() + 4);
  oversized.buffers[0].data = big.data();
  deliverMicrophone(platform::PCMBuffer::wrapping(kMono48k, 1024, oversized));
  EXPECT_EQ(freeSlots(), 4);
  dispatch_resume(capture_->workQueueForTesting());
  idle();
  ASSERT_FALSE(codes().empty());
  for (const auto& code : codes()) EXPECT_EQ(code, "AUDIO_CONVERSION_FAILED");
}

// A failure found on the main queue while audio waits for conversion: one
// error event for the first failure only, and no audio after it, not even
// what was admitted before.
TEST_F(AdmissionTest, OnlyTheFirstFailureIsWrittenAndNoAudioFollowsIt) {
  record();
  dispatch_suspend(capture_->workQueueForTesting());
  deliver(sineSampleBuffer(kStereo48k, 4800, 0, 1000, 0.5));
  TapBuffer tap;
  deliverMicrophone(tap.buffer());
  sync(mainQueue(), [&] {
    capture_->fail("INVALID_STATE");
    capture_->fail("AUDIO_BACKPRESSURE");
  });
  dispatch_resume(capture_->workQueueForTesting());
  ASSERT_TRUE(waitForPhase(CapturePhase::Ended));
  idle();
  std::vector<std::string> afterError;
  bool failed = false;
  for (const auto& line : lines()) {
    if (line.find("\"event\":\"error\"") != std::string::npos) failed = true;
    if (failed) afterError.push_back(line);
  }
  EXPECT_EQ(afterError, (std::vector<std::string>{"{\"code\":\"INVALID_STATE\",\"event\":\"error\"}",
                                                  "{\"event\":\"state\",\"state\":\"ended\"}"}));
  EXPECT_EQ(freeSlots(), 4);
}

// Everything admitted before a stop is converted, then both tails, then
// "ended".
TEST_F(AdmissionTest, StopConvertsEverythingAdmittedThenFlushesTails) {
  record();
  dispatch_suspend(capture_->workQueueForTesting());
  for (int i = 0; i < 4; ++i) deliver(sineSampleBuffer(kStereo48k, 4800, i * 0.1, 1000, 0.5));
  command("stop");
  dispatch_resume(capture_->workQueueForTesting());
  ASSERT_TRUE(waitForPhase(CapturePhase::Ended));
  idle();
  const auto all = lines();
  ASSERT_FALSE(all.empty());
  EXPECT_EQ(all.back(), "{\"event\":\"state\",\"state\":\"ended\"}");
  const auto runs = test::splitRuns(all);
  ASSERT_EQ(runs.runs.size(), 1u);
  // 0.4 s at 48 kHz is exactly 6400 samples at 16 kHz, tail included.
  EXPECT_EQ(runs.runs[0].at("system").size(), 6400u);
  EXPECT_EQ(freeSlots(), 4);
}

}  // namespace
}  // namespace zt
