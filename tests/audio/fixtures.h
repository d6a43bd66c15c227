// PCM buffers from sample values, a converter-only platform, a real output.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <functional>

#include "base/dispatch.h"
#include "output/ZTOutput.h"
#include "platform/soxr/soxr_converter.h"
#include "support/audio_events.h"

namespace zt::test {

// Sample value (full scale ±1) of a channel at an absolute frame.
using SampleFunction = std::function<double(uint32_t channel, uint64_t frame)>;

// Integer samples are rounded and clipped.
inline void store(platform::SampleType type, double value, std::byte* at) {
  const auto put = [at](auto sample) { std::memcpy(at, &sample, sizeof sample); };
  switch (type) {
    case platform::SampleType::Float32:
      return put(static_cast<float>(value));
    case platform::SampleType::Float64:
      return put(value);
    case platform::SampleType::Int16:
      return put(static_cast<int16_t>(std::clamp(std::lrint(value * 32768.0), -32768L, 32767L)));
    case platform::SampleType::Int32:
      return put(static_cast<int32_t>(
          std::clamp(std::nearbyint(value * 2147483648.0), -2147483648.0, 2147483647.0)));
  }
}

inline platform::PCMBuffer makeBuffer(const platform::AudioFormat& format, uint32_t frames,
                                      const SampleFunction& fn, uint64_t firstFrame = 0) {
  auto buffer = platform::PCMBuffer::make(format, frames);
  buffer->setFrameLength(frames);
  const size_t size = platform::bytesPerSample(format.sampleType);
  const bool split = !format.interleaved && format.channelCount > 1;
  auto& list = buffer->mutableAudioBufferList()->buffers;
  for (uint32_t c = 0; c < format.channelCount; ++c) {
    auto* at = static_cast<std::byte*>(list[split ? c : 0].data) + (split ? 0 : size * c);
    for (uint32_t i = 0; i < frames; ++i, at += split ? size : size * format.channelCount)
      store(format.sampleType, fn(c, firstFrame + i), at);
  }
  return std::move(*buffer);
}

inline platform::PCMBuffer makeWireBuffer(const std::vector<int16_t>& samples) {
  return makeBuffer(platform::wireFormat(), static_cast<uint32_t>(samples.size()),
                    [&](uint32_t, uint64_t i) { return samples[i] / 32768.0; });
}

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
    return factory_(from, to);
  }

 private:
  Factory factory_;
};

// On a regular file, which takes every write: one flush writes everything.
class OutputCapture {
 public:
  OutputCapture() {
    char name[] = "/tmp/zt-output-XXXXXX";
    fd_ = mkstemp(name);
    unlink(name);
    sync(mainQueue(), [&] {
      output_ = std::make_unique<ZTOutput>(fd_, [](int status) { ADD_FAILURE() << "exited " << status; });
      output_->setAcceptingAudio(true);
    });
  }
  ~OutputCapture() {
    sync(mainQueue(), [&] { output_.reset(); });
    close(fd_);
  }
  ZTOutput* output() { return output_.get(); }
  // Every line written since the last call; a latched failure fails the test.
  std::vector<std::string> takeLines() {
    sync(mainQueue(), [&] {
      EXPECT_EQ(output_->stateForTesting().pendingError, "");
      output_->flush();
    });
    std::ifstream in("/proc/self/fd/" + std::to_string(fd_));
    in.seekg(static_cast<std::streamoff>(taken_));
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line); taken_ += line.size() + 1) lines.push_back(line);
    return lines;
  }
  // The samples of those lines, all of which must be audio events.
  std::vector<int16_t> takeSamples(std::vector<size_t>* eventBytes = nullptr) {
    std::vector<int16_t> out;
    for (const std::string& line : takeLines()) {
      auto event = parseAudioEvent(line);
      if (!event) ADD_FAILURE() << "not an audio event: " << line.substr(0, 200);
      if (!event) continue;
      if (eventBytes) eventBytes->push_back(event->samples.size() * 2);
      out.insert(out.end(), event->samples.begin(), event->samples.end());
    }
    return out;
  }

 private:
  int fd_ = -1;
  size_t taken_ = 0;
  std::unique_ptr<ZTOutput> output_;
};

}  // namespace zt::test
