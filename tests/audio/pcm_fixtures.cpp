#include "audio/pcm_fixtures.h"

#include <algorithm>
#include <cmath>
#include <cstring>

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
  auto& list = buffer->mutableAudioBufferList()->buffers;
  for (uint32_t c = 0; c < format.channelCount; ++c) {
    const bool split = !format.interleaved && format.channelCount > 1;
    auto* base = static_cast<std::byte*>(list[split ? c : 0].data);
    const size_t stride = split ? sampleBytes : sampleBytes * format.channelCount;
    const size_t first = split ? 0 : sampleBytes * c;
    for (uint32_t i = 0; i < frames; ++i)
      store(format.sampleType, fn(c, firstFrame + i), base + first + i * stride);
  }
  return std::move(*buffer);
}

platform::PCMBuffer makeWireBuffer(const std::vector<int16_t>& samples) {
  std::optional<platform::PCMBuffer> buffer =
      platform::PCMBuffer::make(platform::wireFormat(), static_cast<uint32_t>(samples.size()));
  buffer->setFrameLength(static_cast<uint32_t>(samples.size()));
  if (!samples.empty())
    std::memcpy(buffer->int16ChannelData(), samples.data(), samples.size() * sizeof(int16_t));
  return std::move(*buffer);
}

const char* sampleTypeName(platform::SampleType type) {
  static const char* const names[] = {"Float32", "Float64", "Int16", "Int32"};
  for (size_t i = 0; i < std::size(kAllSampleTypes); ++i)
    if (kAllSampleTypes[i] == type) return names[i];
  return "?";
}

}  // namespace zt::test
