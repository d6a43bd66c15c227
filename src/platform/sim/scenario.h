// A script of every answer the simulated capture services give.
//
// Read from the JSON file named by ZT_SIM_SCENARIO (only the test executable
// links the simulated platform), or built directly by in-process tests.
// Every field has a default that makes a plain, successful session.
//
// Values that a service gives once per call or once per object (statuses,
// streams, engines) are sequences: each call takes the next entry and the
// last one repeats.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace zt::sim {

template <class T>
class Sequence {
 public:
  Sequence() = default;
  Sequence(std::vector<T> values) : values_(std::move(values)) {}  // NOLINT: implicit by design
  Sequence(T value) : values_{std::move(value)} {}                 // NOLINT
  T at(size_t index) const { return values_[index < values_.size() ? index : values_.size() - 1]; }
  bool empty() const { return values_.empty(); }

 private:
  std::vector<T> values_;
};

// A completion that answers after a delay, with an error, or never.
struct Answer {
  enum class Kind { Ok, Error, Never } kind = Kind::Ok;
  platform::Error error;
  int delayMs = 0;
};

// Audio a source plays: a sine per source, in any format, buffer size and
// pace.
struct AudioScript {
  bool enabled = false;
  std::vector<platform::AudioFormat> formats;  // cycled every `buffersPerFormat` buffers
  int buffersPerFormat = 0;                    // 0: the first format only
  std::vector<uint32_t> frames{480};           // buffer sizes, cycled
  double frequency = 1000;
  double amplitude = 0.5;
  double speed = 1;          // 1: real time; 10: ten times faster
  int64_t bufferCount = -1;  // -1: until stopped
};

struct EngineScript {
  platform::AudioFormat inputFormat{platform::SampleType::Float32, 48000, 1, false};
  Answer formatQuery;  // when `inputFormat` answers; Error: no input
  Answer start;        // when the start answers; Error: it fails
  bool startFails = false;
  int configurationChangeAfterMs = -1;  // -1: never
  AudioScript audio;                    // frames are the tap's size
};

struct StreamScript {
  bool addOutputFails = false;
  Answer start;
  Answer stop;
  int stopsByItselfAfterMs = -1;  // after the start request; -1: never
  uint32_t framesAtStop = 0;      // handed over as it is asked to stop (what it gathered)
  AudioScript audio;
};

struct ConverterScript {
  int stallMs = 0;                // each conversion call sleeps this long
  int64_t failConvertAfter = -1;  // calls that succeed before every later one fails; -1: never
  bool failTail = false;          // end-of-stream calls fail
};

struct Scenario {
  Sequence<int> microphoneStatus{3};  // AuthorizationStatus values, one per query
  Answer microphoneRequest;           // Ok: granted; Error: declined; Never: no answer
  Sequence<bool> screenPreflight{true};
  bool screenRequest = true;
  int screenRequestDelayMs = 0;  // -1: the prompt never closes
  bool microphonePresent = true;
  Answer microphoneQuery;  // when the presence query answers; Error: absent
  int displayCount = 1;
  Answer content;  // Error: the query fails with that error
  Sequence<EngineScript> engines{EngineScript{}};
  Sequence<StreamScript> streams{StreamScript{}};
  ConverterScript converter;

  // Nothing when the text is not a valid scenario.
  static std::optional<Scenario> fromJSON(const std::string& text);
};

}  // namespace zt::sim
