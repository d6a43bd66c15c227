// What the audio tests share: PCM buffers built from sample values, a
// platform that makes only converters, and a real output read back, so that
// tests see exactly what a host would.
#pragma once

#include <cstdlib>
#include <functional>
#include <memory>

#include "output/ZTOutput.h"
#include "platform/platform.h"
#include "platform/soxr/soxr_converter.h"
#include "support/audio_events.h"

namespace zt::test {

// Sample value (full scale is ±1) of `channel` at absolute frame `frame`.
using SampleFunction = std::function<double(uint32_t channel, uint64_t frame)>;

// `frames` frames in `format` from `fn`, from absolute frame `firstFrame`;
// integer samples are rounded and clipped.
platform::PCMBuffer makeBuffer(const platform::AudioFormat& format, uint32_t frames, const SampleFunction& fn,
                               uint64_t firstFrame = 0);
platform::PCMBuffer makeWireBuffer(const std::vector<int16_t>& samples);

inline constexpr platform::SampleType kAllSampleTypes[] = {
    platform::SampleType::Float32, platform::SampleType::Float64, platform::SampleType::Int16,
    platform::SampleType::Int32};

class TestPlatform : public platform::Platform {
 public:
  using Factory = std::function<std::unique_ptr<platform::AudioConverter>(const platform::AudioFormat&,
                                                                          const platform::AudioFormat&)>;
  explicit TestPlatform(Factory factory = &platform::makeSoxrConverter) : factory_(std::move(factory)) {}
  platform::CaptureDevices& captureDevices() override { std::abort(); }
  platform::ScreenAccess& screenAccess() override { std::abort(); }
  platform::ScreenCapture& screenCapture() override { std::abort(); }
  platform::NotificationCenter& notificationCenter() override { std::abort(); }
  std::unique_ptr<platform::AudioEngine> makeAudioEngine() override { std::abort(); }
  std::unique_ptr<platform::AudioConverter> makeConverter(const platform::AudioFormat& from,
                                                          const platform::AudioFormat& to) override {
    ++converterRequests;
    lastFrom = from;
    lastTo = to;
    return factory_(from, to);
  }
  int converterRequests = 0;
  platform::AudioFormat lastFrom, lastTo;

 private:
  Factory factory_;
};

class OutputCapture {
 public:
  // Built on the main queue, accepting audio.
  OutputCapture();
  ~OutputCapture();
  ZTOutput* output() { return output_.get(); }
  // Every line written since the last call; a failure the output latched
  // fails the test.
  std::vector<std::string> takeLines();
  // The same lines as audio events (any other line fails the test).
  std::vector<AudioEvent> takeAudio();
  // All their samples, in order.
  std::vector<int16_t> takeSamples();

 private:
  int fd_ = -1;
  size_t taken_ = 0;
  std::unique_ptr<ZTOutput> output_;
};

}  // namespace zt::test
