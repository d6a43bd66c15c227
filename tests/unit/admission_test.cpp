// Sample admission, with buffers handed over on the platform's queues.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <thread>

#include "base/dispatch.h"
#include "capture/ZTCapture.h"
#include "platform/sim/sim_platform.h"
#include "support/child_process.h"

namespace zt {
namespace {

using namespace std::chrono_literals;
using platform::AudioFormat;
using platform::SampleType;

const AudioFormat kStereo48k{SampleType::Float32, 48000, 2, true};
const AudioFormat kMono48k{SampleType::Float32, 48000, 1, true};

std::shared_ptr<sim::SimSampleBuffer> systemBuffer(uint32_t frames = 4800) {
  return sim::sineSampleBuffer(kStereo48k, frames, 0, 1000, 0.5);
}

// One microphone tap, over memory the engine owns.
struct TapBuffer {
  std::vector<std::vector<std::byte>> data = sim::sineBuffers(kMono48k, 1024, 0, 440, 0.5);
  platform::AudioBufferList list{{{1, uint32_t(data[0].size()), data[0].data()}}};
  platform::PCMBuffer buffer() { return platform::PCMBuffer::wrapping(kMono48k, 1024, list); }
};

class AdmissionTest : public ::testing::Test {
 protected:
  // A recording session whose failures are recorded, not acted on: the test
  // decides when it ends.
  void SetUp() override {
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_CLOEXEC | O_NONBLOCK), 0);
    readFd_ = fds[0];
    reader_ = std::make_unique<test::LineReader>(readFd_);
    // Sessions are never torn down, as in the helper: kept reachable.
    platform_ = new sim::SimPlatform(sim::Scenario{});
    sync(mainQueue(), [&] {
      output_ = new ZTOutput(fds[1], [](int) {});
      capture_ = new ZTCapture(output_, *platform_);
      output_->onError = [this](const std::string& code) {
        std::lock_guard lock(mutex_);
        codes_.push_back(code);
      };
    });
    static auto* kept = new std::vector<const void*>();
    kept->insert(kept->end(), {platform_, output_, capture_});
    command("prepare");
    ASSERT_TRUE(waitForPhase(CapturePhase::Prepared));
    command("start");
    ASSERT_TRUE(waitForPhase(CapturePhase::Recording));
  }
  void TearDown() override { close(readFd_); }
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
  void deliver(std::shared_ptr<platform::SampleBuffer> buffer, int64_t type = platform::kStreamOutputAudio,
               platform::Stream* stream = nullptr) {
    platform::Stream* target = stream ? stream : capture_->activeStreamForTesting();
    sync(capture_->samplesQueueForTesting(), [&] { capture_->stream(target, buffer, type); });
  }
  void deliverMicrophone(const platform::PCMBuffer& buffer, uint64_t staleBy = 0) {
    capture_->microphone(buffer, capture_->audioGenerationForTesting() - staleBy);
  }
  void suspendWork() { dispatch_suspend(capture_->workQueueForTesting()); }
  void resumeWork() { dispatch_resume(capture_->workQueueForTesting()); }
  // Waits for the conversions, then for the flush that delivers codes.
  void idle() {
    sync(capture_->workQueueForTesting(), [] {});
    for (int i = 0; i < 3; ++i) sync(mainQueue(), [] {});
    std::this_thread::sleep_for(5ms);
    sync(mainQueue(), [] {});
  }
  // How many codes were reported, each of which must be `code`.
  size_t reported(const std::string& code) {
    std::lock_guard lock(mutex_);
    for (const auto& c : codes_) EXPECT_EQ(c, code);
    return codes_.size();
  }
  int freeSlots() { return capture_->freeSlotsForTesting(); }
  // The write end stays open: everything written by now, and no more.
  std::vector<std::string> lines() { return reader_->rest(100ms); }

  int readFd_ = -1;
  std::unique_ptr<test::LineReader> reader_;
  sim::SimPlatform* platform_ = nullptr;
  ZTOutput* output_ = nullptr;
  ZTCapture* capture_ = nullptr;
  std::mutex mutex_;
  std::vector<std::string> codes_;
  TapBuffer tap_;
};

// Dropped unread: other outputs and streams, unready or stale buffers, and
// anything once a pause closed admission.
TEST_F(AdmissionTest, BuffersThatAreNotOursAreIgnoredSilently) {
  deliver(systemBuffer(), platform::kStreamOutputScreen);
  auto foreign = platform_->screenCapture().makeStream({}, {}, capture_);
  deliver(systemBuffer(), platform::kStreamOutputAudio, foreign.get());
  deliver(std::make_shared<sim::SimSampleBuffer>(kStereo48k.streamDescription(), 4800,
                                                 sim::sineBuffers(kStereo48k, 4800, 0, 1000, 0.5), false));
  deliverMicrophone(tap_.buffer(), 1);
  platform::Stream* stream = capture_->activeStreamForTesting();
  idle();
  for (const auto& line : lines()) EXPECT_EQ(line.find("\"audio\""), std::string::npos) << line;
  command("pause");
  ASSERT_TRUE(waitForPhase(CapturePhase::Paused));
  deliver(systemBuffer(), platform::kStreamOutputAudio, stream);
  deliverMicrophone(tap_.buffer());
  idle();
  EXPECT_EQ(reported(""), 0u);
  EXPECT_EQ(freeSlots(), 4);
}

TEST_F(AdmissionTest, FifthBufferIsBackpressureAndSlotsComeBack) {
  suspendWork();
  for (int i = 0; i < 2; ++i) {
    deliver(systemBuffer(480));
    deliverMicrophone(tap_.buffer());
  }
  EXPECT_EQ(freeSlots(), 0);
  EXPECT_EQ(reported(""), 0u);
  deliverMicrophone(tap_.buffer());
  deliver(systemBuffer(480));
  resumeWork();
  idle();
  // Each refusal latches the code; a flush between them may deliver it twice.
  EXPECT_GE(reported("AUDIO_BACKPRESSURE"), 1u);
  EXPECT_EQ(freeSlots(), 4);
}

// Refused, with the slot back at once.
TEST_F(AdmissionTest, RejectedMicrophoneBufferReturnsItsSlotAtOnce) {
  suspendWork();
  deliverMicrophone(platform::PCMBuffer::wrapping(kMono48k, 0, tap_.list));
  EXPECT_EQ(freeSlots(), 4);
  std::vector<std::byte> big(tap_.data[0].size() + 4);
  platform::AudioBufferList oversized{{{1, uint32_t(big.size()), big.data()}}};
  deliverMicrophone(platform::PCMBuffer::wrapping(kMono48k, 1024, oversized));
  EXPECT_EQ(freeSlots(), 4);
  resumeWork();
  idle();
  EXPECT_GE(reported("AUDIO_CONVERSION_FAILED"), 1u);
}

// Failures on the main queue while audio waits: only the first is written,
// and no audio follows, not even what was admitted before.
TEST_F(AdmissionTest, OnlyTheFirstFailureIsWrittenAndNoAudioFollowsIt) {
  suspendWork();
  deliver(systemBuffer());
  deliverMicrophone(tap_.buffer());
  sync(mainQueue(), [&] {
    capture_->fail("INVALID_STATE");
    capture_->fail("AUDIO_BACKPRESSURE");
  });
  resumeWork();
  ASSERT_TRUE(waitForPhase(CapturePhase::Ended));
  idle();
  std::vector<std::string> afterError = lines();
  afterError.erase(afterError.begin(), std::find_if(afterError.begin(), afterError.end(), [](auto& line) {
                     return line.find("\"event\":\"error\"") != std::string::npos;
                   }));
  EXPECT_EQ(afterError, (std::vector<std::string>{"{\"code\":\"INVALID_STATE\",\"event\":\"error\"}",
                                                  "{\"event\":\"state\",\"state\":\"ended\"}"}));
  EXPECT_EQ(freeSlots(), 4);
}

}  // namespace
}  // namespace zt
