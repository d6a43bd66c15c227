// The simulated capture services: every answer comes from a `Scenario`.
//
// Threads: each engine delivers its tap buffers from a serial queue of its
// own (its "engine thread"); each stream paces its sample buffers on a queue
// of its own and hands them to the registered output queue. Completions run
// on a private completion queue after the scripted delay.
#pragma once

#include <atomic>
#include <mutex>

#include "platform/platform.h"
#include "platform/sim/scenario.h"

namespace zt::sim {

// A sample buffer holding its own bytes in any description, for the
// simulated stream and for tests that hand-craft malformed buffers.
class SimSampleBuffer : public platform::SampleBuffer {
 public:
  SimSampleBuffer(std::optional<platform::StreamDescription> description, int64_t frames,
                  std::vector<std::vector<std::byte>> channelBuffers, bool ready = true)
      : description_(description), frames_(frames), buffers_(std::move(channelBuffers)), ready_(ready) {}

  bool dataIsReady() const override { return ready_; }
  int64_t numSamples() const override { return frames_; }
  std::optional<platform::StreamDescription> streamDescription() const override { return description_; }
  int32_t copyPCMData(int64_t offset, int64_t frames, platform::AudioBufferList& into) const override;

 private:
  std::optional<platform::StreamDescription> description_;
  int64_t frames_;
  std::vector<std::vector<std::byte>> buffers_;
  bool ready_;
};

// The bytes of a sine of `frequency` Hz starting at `startSeconds`, in
// `format`, as the buffers of a buffer list (one, or one per channel).
std::vector<std::vector<std::byte>> sineBuffers(const platform::AudioFormat& format, uint32_t frames,
                                                double startSeconds, double frequency, double amplitude);

// A ready sample buffer of a sine in `format`.
std::shared_ptr<SimSampleBuffer> sineSampleBuffer(const platform::AudioFormat& format, uint32_t frames,
                                                  double startSeconds, double frequency, double amplitude);

class SimPlatform : public platform::Platform {
 public:
  explicit SimPlatform(Scenario scenario);
  ~SimPlatform() override;

  platform::CaptureDevices& captureDevices() override;
  platform::ScreenAccess& screenAccess() override;
  platform::ScreenCapture& screenCapture() override;
  platform::NotificationCenter& notificationCenter() override;
  std::unique_ptr<platform::AudioEngine> makeAudioEngine() override;
  std::unique_ptr<platform::AudioConverter> makeConverter(const platform::AudioFormat& from,
                                                          const platform::AudioFormat& to) override;

  // Counts, for tests.
  int enginesMade() const { return enginesMade_.load(); }
  int streamsMade() const { return streamsMade_.load(); }
  int liveEngines() const { return liveEngines_.load(); }
  int liveStreams() const { return liveStreams_.load(); }
  // The most recent stream, for tests that deliver by hand.
  std::shared_ptr<platform::Stream> lastStream();
  // Posts a configuration change of every engine now observed.
  void postConfigurationChange();

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
  std::atomic<int> enginesMade_{0};
  std::atomic<int> streamsMade_{0};
  std::atomic<int> liveEngines_{0};
  std::atomic<int> liveStreams_{0};
  friend struct Impl;
};

}  // namespace zt::sim
