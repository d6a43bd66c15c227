// Decoding the audio events the helper sends.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace zt::test {

// The samples of an audio event line; nothing unless it is a well-formed one
// of 2 to 3200 whole-sample bytes in strict base64 (written apart from the
// encoder under test).
struct AudioEvent {
  std::string source;
  std::vector<int16_t> samples;
};
std::optional<AudioEvent> parseAudioEvent(const std::string& line);

// How far a signal strays from one pure sine of `frequency` Hz at 16 kHz: the
// largest residual RMS of any 10 ms window, relative to the amplitude fitted
// over the whole signal but `skip` samples at each end (the filter's onset
// and tail). A gap, a repeated block or a click shows as a large value.
struct SineFit {
  double amplitude = 0;
  double worstWindowResidual = 1;
};
SineFit fitSine(const std::vector<int16_t>& samples, double frequency, size_t skip = 64);

}  // namespace zt::test
