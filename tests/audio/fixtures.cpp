#include "audio/fixtures.h"

#include <fcntl.h>
#include <gtest/gtest.h>
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

OutputCapture::OutputCapture() {
  EXPECT_EQ(pipe2(fds_, O_CLOEXEC), 0);
  fcntl(fds_[0], F_SETFL, O_NONBLOCK);
  sync(mainQueue(), [&] {
    output_ =
        std::make_unique<ZTOutput>(fds_[1], [](int status) { ADD_FAILURE() << "output exited " << status; });
    output_->setAcceptingAudio(true);
  });
}

// Destroyed on the main queue, where its sources run.
OutputCapture::~OutputCapture() {
  sync(mainQueue(), [&] { output_.reset(); });
  close(fds_[0]);
  close(fds_[1]);
}

std::vector<std::string> OutputCapture::takeLines() {
  std::string text;
  for (ZTOutput::State state;;) {
    sync(mainQueue(), [&] {
      EXPECT_EQ(output_->stateForTesting().pendingError, "") << "the output latched a failure";
      output_->flush();
      state = output_->stateForTesting();
    });
    char chunk[65536];
    for (ssize_t n; (n = read(fds_[0], chunk, sizeof chunk)) > 0;) text.append(chunk, static_cast<size_t>(n));
    EXPECT_FALSE(state.broken);
    if (state.lineCount == 0 || state.broken) break;
  }
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
