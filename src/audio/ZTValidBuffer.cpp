#include <cmath>

#include "audio/ZTConverter.h"

namespace zt {

// Runs on any thread (the microphone tap calls it under the admission
// lock), so it reads only the buffer's metadata and never its samples.
bool ZTValidBuffer(const platform::PCMBuffer& buffer) {
  const uint32_t frames = buffer.frameLength();
  if (frames < 1 || frames > kMaxBufferFrames) return false;

  const platform::AudioFormat& format = buffer.format();
  if (format.channelCount < 1 || format.channelCount > kMaxBufferChannels) return false;
  if (!std::isfinite(format.sampleRate) || format.sampleRate < kMinSampleRate ||
      format.sampleRate > kMaxSampleRate)
    return false;

  const platform::AudioBufferList* list = buffer.audioBufferList();
  if (list == nullptr) return false;
  if (list->numberBuffers() < 1 || list->numberBuffers() > kMaxBufferListEntries) return false;

  // The byte total is cumulative: many buffers each within the bound can
  // still add up to too much.
  uint64_t totalBytes = 0;
  for (const platform::AudioBuffer& entry : list->buffers) {
    if (entry.data == nullptr) return false;
    totalBytes += entry.dataByteSize;
    if (totalBytes > kMaxBufferListBytes) return false;
  }
  return true;
}

}  // namespace zt
