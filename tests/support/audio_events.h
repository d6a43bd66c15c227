// Decoding what the helper sends: audio payloads, and the audio of each
// source between control events.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "support/base64_decode.h"

namespace zt::test {

// The 16-bit little-endian samples of one audio event line; nothing when the
// line is not a well-formed audio event of 2 to 3200 whole-sample bytes.
struct AudioEvent {
  std::string source;
  std::vector<int16_t> samples;
};
std::optional<AudioEvent> parseAudioEvent(const std::string& line);

// The audio of each source per run: a run is what lies between a
// "recording" state and the next "paused" or "ended" state.
struct Runs {
  std::vector<std::map<std::string, std::vector<int16_t>>> runs;
  int audioOutsideRuns = 0;  // audio events before "recording" or after a run ended
  int malformedAudio = 0;
};
Runs splitRuns(const std::vector<std::string>& lines);

// How far a signal strays from one pure sine of `frequency` Hz at 16 kHz:
// the largest RMS of the residual over any 10 ms window, after fitting
// amplitude and phase over the whole signal, relative to the fitted
// amplitude. `skip` samples at each end are left out (the filter's onset and
// tail). A gap, a repeated block or a click shows as a large value.
struct SineFit {
  double amplitude = 0;
  double worstWindowResidual = 1;
};
SineFit fitSine(const std::vector<int16_t>& samples, double frequency, size_t skip = 64);

}  // namespace zt::test
