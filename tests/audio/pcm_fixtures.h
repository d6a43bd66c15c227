// Building PCM buffers of any format from sample values, and measuring a
// tone in converted output.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "platform/audio_format.h"

namespace zt::test {

// Sample value (full scale is ±1) of `channel` at absolute frame `frame`.
using SampleFunction = std::function<double(uint32_t channel, uint64_t frame)>;

// An owned buffer of `frames` frames in `format`, filled from `fn` starting
// at absolute frame `firstFrame`. Integer samples are rounded and clipped.
platform::PCMBuffer makeBuffer(const platform::AudioFormat& format, uint32_t frames, const SampleFunction& fn,
                               uint64_t firstFrame = 0);

// A wire-format buffer holding exactly `samples`.
platform::PCMBuffer makeWireBuffer(const std::vector<int16_t>& samples);

// Least-squares fit of A·sin(ωk + φ) + c over samples [begin, end).
struct ToneFit {
  double amplitude = 0;
  double phase = 0;
  double offset = 0;
};
ToneFit fitTone(const std::vector<int16_t>& samples, size_t begin, size_t end, double radiansPerSample);
double toneValue(const ToneFit& fit, size_t k, double radiansPerSample);

// The sample types and layouts a converter must take.
std::vector<platform::SampleType> allSampleTypes();
const char* sampleTypeName(platform::SampleType type);

}  // namespace zt::test
