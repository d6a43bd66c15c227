// Building PCM buffers of any format from sample values.
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

inline constexpr platform::SampleType kAllSampleTypes[] = {
    platform::SampleType::Float32, platform::SampleType::Float64, platform::SampleType::Int16,
    platform::SampleType::Int32};
const char* sampleTypeName(platform::SampleType type);

}  // namespace zt::test
