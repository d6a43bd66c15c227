// One event line from the helper, parsed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zt::record {

struct Event {
  enum class Kind { Prepared, State, Error, Audio, Unknown } kind = Kind::Unknown;
  std::string state;         // State: "recording", "paused" or "ended"
  std::string code;          // Error
  std::string source;        // Audio: "system" or "microphone"
  std::vector<uint8_t> pcm;  // Audio: 16-bit little-endian samples
};

// Lines that are not JSON objects with a known, well-formed event answer
// Kind::Unknown; the recorder reports them rather than guess.
Event parseEvent(const std::string& line);

}  // namespace zt::record
