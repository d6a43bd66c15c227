// Decoding what the helper sends: audio payloads, and the audio of each
// source between control events.
#pragma once

#include <cstdint>
#include <map>
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

// The audio of each source per run: what lies between a "recording" state
// and the next other state.
struct Runs {
  std::vector<std::map<std::string, std::vector<int16_t>>> runs;
  int audioOutsideRuns = 0;
  int malformedAudio = 0;
};
Runs splitRuns(const std::vector<std::string>& lines);

// A sine of `frequency` Hz at 16 kHz fitted to the signal over all but
// `skip` samples at each end, and the largest RMS of the residual over any
// 10 ms window relative to the fitted amplitude: a gap, a repeated block or
// a click shows as a large value.
struct SineFit {
  double amplitude = 0;
  double worstWindowResidual = 1;
};
SineFit fitSine(const std::vector<int16_t>& samples, double frequency, size_t skip = 64);

}  // namespace zt::test
