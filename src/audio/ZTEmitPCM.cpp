#include <algorithm>
#include <bit>
#include <cstring>
#include <vector>

#include "audio/ZTConverter.h"
#include "audio/base64.h"

namespace zt {

// Runs on the conversion queue. The output admits, drops or refuses each
// event on its own terms; slicing goes on to the end of the buffer either
// way, so the events of one buffer stay consecutive. A buffer that is not
// mono 16-bit, or whose frame length claims more samples than its data
// holds, emits nothing and answers false: taking part of it would put a
// gap into the stream without anybody knowing.
bool ZTEmitPCM(const platform::PCMBuffer& buffer, const std::string& source, ZTOutput* output) {
  const size_t frames = buffer.frameLength();
  if (output == nullptr) return false;
  if (frames == 0) return true;
  const int16_t* samples = buffer.int16ChannelData();
  if (samples == nullptr || buffer.format().channelCount != 1) return false;
  if (frames > buffer.audioBufferList()->buffers[0].dataByteSize / sizeof(int16_t)) return false;

  const size_t totalBytes = frames * sizeof(int16_t);
  const auto* bytes = reinterpret_cast<const uint8_t*>(samples);
  // The wire carries little-endian samples.
  std::vector<uint8_t> littleEndian;
  if constexpr (std::endian::native == std::endian::big) {
    littleEndian.resize(totalBytes);
    for (size_t i = 0; i < frames; ++i) {
      const auto sample = static_cast<uint16_t>(samples[i]);
      littleEndian[2 * i] = static_cast<uint8_t>(sample & 0xFF);
      littleEndian[2 * i + 1] = static_cast<uint8_t>(sample >> 8);
    }
    bytes = littleEndian.data();
  }

  for (size_t offset = 0; offset < totalBytes; offset += kMaxEventPCMBytes) {
    const size_t sliceBytes = std::min(kMaxEventPCMBytes, totalBytes - offset);
    const Event event{
        {"event", "audio"}, {"source", source}, {"audio", base64Encode(bytes + offset, sliceBytes)}};
    output->event(event, true);
  }
  return true;
}

}  // namespace zt
