#include "audio/pcm_fixtures.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace zt::test {
namespace {

void store(platform::SampleType type, double value, std::byte* at) {
  switch (type) {
    case platform::SampleType::Float32: {
      const auto v = static_cast<float>(value);
      std::memcpy(at, &v, sizeof v);
      return;
    }
    case platform::SampleType::Float64:
      std::memcpy(at, &value, sizeof value);
      return;
    case platform::SampleType::Int16: {
      const auto v = static_cast<int16_t>(std::clamp(std::lrint(value * 32768.0), -32768L, 32767L));
      std::memcpy(at, &v, sizeof v);
      return;
    }
    case platform::SampleType::Int32: {
      const double scaled = std::clamp(std::nearbyint(value * 2147483648.0), -2147483648.0, 2147483647.0);
      const auto v = static_cast<int32_t>(scaled);
      std::memcpy(at, &v, sizeof v);
      return;
    }
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

// Solves the 3×3 normal equations for sin, cos and a constant.
ToneFit fitTone(const std::vector<int16_t>& samples, size_t begin, size_t end, double w) {
  double m[3][4] = {};
  for (size_t k = begin; k < end; ++k) {
    const double basis[3] = {std::sin(w * k), std::cos(w * k), 1.0};
    for (int r = 0; r < 3; ++r) {
      for (int c = 0; c < 3; ++c) m[r][c] += basis[r] * basis[c];
      m[r][3] += basis[r] * samples[k];
    }
  }
  for (int p = 0; p < 3; ++p) {
    for (int r = p + 1; r < 3; ++r) {
      const double f = m[r][p] / m[p][p];
      for (int c = p; c < 4; ++c) m[r][c] -= f * m[p][c];
    }
  }
  double x[3];
  for (int r = 2; r >= 0; --r) {
    double s = m[r][3];
    for (int c = r + 1; c < 3; ++c) s -= m[r][c] * x[c];
    x[r] = s / m[r][r];
  }
  ToneFit fit;
  fit.amplitude = std::hypot(x[0], x[1]);
  fit.phase = std::atan2(x[1], x[0]);
  fit.offset = x[2];
  return fit;
}

double toneValue(const ToneFit& fit, size_t k, double w) {
  return fit.amplitude * std::sin(w * k + fit.phase) + fit.offset;
}

std::vector<platform::SampleType> allSampleTypes() {
  return {platform::SampleType::Float32, platform::SampleType::Float64, platform::SampleType::Int16,
          platform::SampleType::Int32};
}

const char* sampleTypeName(platform::SampleType type) {
  switch (type) {
    case platform::SampleType::Float32:
      return "Float32";
    case platform::SampleType::Float64:
      return "Float64";
    case platform::SampleType::Int16:
      return "Int16";
    case platform::SampleType::Int32:
      return "Int32";
  }
  return "?";
}

}  // namespace zt::test
