#include "audio/fixtures.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "base/dispatch.h"

namespace zt::test {
namespace {

template <class T>
void put(std::byte* at, T value) {
  std::memcpy(at, &value, sizeof value);
}

void store(platform::SampleType type, double value, std::byte* at) {
  switch (type) {
    case platform::SampleType::Float32:
      return put(at, static_cast<float>(value));
    case platform::SampleType::Float64:
      return put(at, value);
    case platform::SampleType::Int16:
      return put(at, static_cast<int16_t>(std::clamp(std::lrint(value * 32768.0), -32768L, 32767L)));
    case platform::SampleType::Int32:
      return put(at, static_cast<int32_t>(
                         std::clamp(std::nearbyint(value * 2147483648.0), -2147483648.0, 2147483647.0)));
  }
}

}  // namespace

platform::PCMBuffer makeBuffer(const platform::AudioFormat& format, uint32_t frames, const SampleFunction& fn,
                               uint64_t firstFrame) {
  std::optional<platform::PCMBuffer> buffer = platform::PCMBuffer::make(format, frames);
  buffer->setFrameLength(frames);
  const size_t sampleBytes = platform::bytesPerSample(format.sampleType);
  const bool split = !format.interleaved && format.channelCount > 1;
  auto& list = buffer->mutableAudioBufferList()->buffers;
  for (uint32_t c = 0; c < format.channelCount; ++c) {
    auto* base = static_cast<std::byte*>(list[split ? c : 0].data) + (split ? 0 : sampleBytes * c);
    const size_t stride = split ? sampleBytes : sampleBytes * format.channelCount;
    for (uint32_t i = 0; i < frames; ++i) store(format.sampleType, fn(c, firstFrame + i), base + i * stride);
  }
  return std::move(*buffer);
}

platform::PCMBuffer makeWireBuffer(const std::vector<int16_t>& samples) {
  return makeBuffer(platform::wireFormat(), static_cast<uint32_t>(samples.size()),
                    [&](uint32_t, uint64_t i) { return samples[i] / 32768.0; });
}

// A regular file takes every write at once, so one flush writes everything
// queued.
OutputCapture::OutputCapture() {
  char name[] = "/tmp/zt-output-XXXXXX";
  fd_ = mkstemp(name);
  unlink(name);
  sync(mainQueue(), [&] {
    output_ =
        std::make_unique<ZTOutput>(fd_, [](int status) { ADD_FAILURE() << "output exited " << status; });
    output_->setAcceptingAudio(true);
  });
}

// Destroyed on the main queue, where its sources run.
OutputCapture::~OutputCapture() {
  sync(mainQueue(), [&] { output_.reset(); });
  close(fd_);
}

std::vector<std::string> OutputCapture::takeLines() {
  sync(mainQueue(), [&] {
    EXPECT_EQ(output_->stateForTesting().pendingError, "") << "the output latched a failure";
    output_->flush();
  });
  struct stat st;
  fstat(fd_, &st);
  std::string text(static_cast<size_t>(st.st_size) - taken_, '\0');
  EXPECT_EQ(pread(fd_, text.data(), text.size(), static_cast<off_t>(taken_)), ssize_t(text.size()));
  taken_ += text.size();
  std::vector<std::string> lines;
  for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1)
    lines.push_back(text.substr(at, end - at));
  return lines;
}

std::vector<AudioEvent> OutputCapture::takeAudio() {
  std::vector<AudioEvent> events;
  for (const std::string& line : takeLines()) {
    if (auto event = parseAudioEvent(line))
      events.push_back(std::move(*event));
    else
      ADD_FAILURE() << "not an audio event: " << line.substr(0, 200);
  }
  return events;
}

std::vector<int16_t> OutputCapture::takeSamples() {
  std::vector<int16_t> out;
  for (const AudioEvent& event : takeAudio())
    out.insert(out.end(), event.samples.begin(), event.samples.end());
  return out;
}

}  // namespace zt::test
