// Reads a WAV file the way a strict player would, to check what the
// recorder wrote.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace zt::test::record {

struct Wav {
  uint16_t format = 0;
  uint16_t channels = 0;
  uint32_t sampleRate = 0;
  uint16_t bitsPerSample = 0;
  uint32_t riffSize = 0;
  uint32_t dataSize = 0;
  uint64_t fileSize = 0;
  std::vector<float> samples;  // the data chunk, scaled to [-1, 1)
  double seconds() const { return sampleRate ? double(samples.size()) / sampleRate : 0; }
};

// Nothing when the file is not a RIFF/WAVE file whose sizes agree with its
// length (why, in `error`).
std::optional<Wav> readWav(const std::string& path, std::string* error);

// The frequency in [50, 7950] Hz with the largest tone level, in 10 Hz steps.
double dominantFrequency(const std::vector<float>& x, double rate);

}  // namespace zt::test::record
