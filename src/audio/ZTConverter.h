// Turns captured PCM buffers of any supported format into the wire format
// (16 kHz mono signed 16-bit) and sends it as audio events.
//
// Everything here runs on the session's conversion queue (`_work`), except
// `ZTValidBuffer`, which reads only metadata and runs on any thread.
#pragma once

#include <memory>
#include <string>

#include "output/ZTOutput.h"
#include "platform/platform.h"

namespace zt {

inline constexpr uint32_t kMaxBufferFrames = 16384;
inline constexpr uint32_t kMaxBufferChannels = 8;
inline constexpr double kMinSampleRate = 8000;
inline constexpr double kMaxSampleRate = 192000;
inline constexpr uint64_t kMaxBufferListBytes = 1048576;
inline constexpr uint32_t kMaxBufferListEntries = 8;

inline constexpr double kWireSampleRate = 16000;
inline constexpr uint32_t kOutputSlackFrames = 256;
inline constexpr uint32_t kMaxOutputCapacity = 33024;
inline constexpr int kMaxConverterCalls = 8;
inline constexpr uint32_t kTailCapacityFrames = 2048;
inline constexpr size_t kMaxEventPCMBytes = 3200;

// True when `buffer` meets every structural bound; reads only metadata.
bool ZTValidBuffer(const platform::PCMBuffer& buffer);

// Output capacity for converting `frames` frames at `sampleRate` to 16 kHz:
// ceil(frames * 16000 / rate) + 256.
uint64_t ZTOutputCapacity(uint32_t frames, double sampleRate);

// Sends a wire-format buffer as audio events of at most 3200 PCM bytes.
// False, with nothing sent, for a buffer that is not mono 16-bit or whose
// frame length exceeds its data.
bool ZTEmitPCM(const platform::PCMBuffer& buffer, const std::string& source, ZTOutput* output);

// One per source and capture run; keeps the platform converter's state so
// that the buffers of one source form one continuous signal.
class ZTConverter {
 public:
  explicit ZTConverter(platform::Platform& platform);

  // Converts `buffer` and emits the result. False on any failure; audio
  // emitted before the failure stays emitted.
  bool convert(const platform::PCMBuffer& buffer, const std::string& source, ZTOutput* output);
  // Emits what the converter still holds (its tail). True when there is
  // nothing to flush.
  bool finishSource(const std::string& source, ZTOutput* output);

  platform::AudioConverter* converter() const { return _converter.get(); }

 private:
  platform::Platform& _platform;
  std::unique_ptr<platform::AudioConverter> _converter;
};

}  // namespace zt
