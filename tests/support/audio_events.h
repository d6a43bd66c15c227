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

}  // namespace zt::test
