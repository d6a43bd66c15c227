#include "platform/audio_format.h"

#include <cmath>
#include <limits>

namespace zt::platform {

size_t bytesPerSample(SampleType type) {
  switch (type) {
    case SampleType::Float32:
    case SampleType::Int32:
      return 4;
    case SampleType::Float64:
      return 8;
    case SampleType::Int16:
      return 2;
  }
  return 0;
}

size_t AudioFormat::bytesPerFrameInBuffer() const {
  const size_t perSample = bytesPerSample(sampleType);
  return interleaved ? perSample * channelCount : perSample;
}

uint32_t AudioFormat::bufferCount() const { return (interleaved || channelCount <= 1) ? 1 : channelCount; }

std::optional<AudioFormat> AudioFormat::fromStreamDescription(const StreamDescription& d) {
  if (d.formatID != kFormatLinearPCM || d.channelsPerFrame == 0 || !std::isfinite(d.sampleRate) ||
      d.sampleRate <= 0)
    return std::nullopt;
  AudioFormat format;
  const bool isFloat = (d.formatFlags & kFormatFlagIsFloat) != 0;
  if (isFloat && d.bitsPerChannel == 32)
    format.sampleType = SampleType::Float32;
  else if (isFloat && d.bitsPerChannel == 64)
    format.sampleType = SampleType::Float64;
  else if (!isFloat && (d.formatFlags & kFormatFlagIsSignedInteger) && d.bitsPerChannel == 16)
    format.sampleType = SampleType::Int16;
  else if (!isFloat && (d.formatFlags & kFormatFlagIsSignedInteger) && d.bitsPerChannel == 32)
    format.sampleType = SampleType::Int32;
  else
    return std::nullopt;
  format.sampleRate = d.sampleRate;
  format.channelCount = d.channelsPerFrame;
  format.interleaved = (d.formatFlags & kFormatFlagIsNonInterleaved) == 0 || d.channelsPerFrame == 1;
  return format;
}

StreamDescription AudioFormat::streamDescription() const {
  StreamDescription d;
  d.sampleRate = sampleRate;
  d.formatID = kFormatLinearPCM;
  const bool isFloat = sampleType == SampleType::Float32 || sampleType == SampleType::Float64;
  d.formatFlags = isFloat ? kFormatFlagIsFloat : kFormatFlagIsSignedInteger;
  if (!interleaved) d.formatFlags |= kFormatFlagIsNonInterleaved;
  d.bytesPerFrame = static_cast<uint32_t>(bytesPerFrameInBuffer());
  d.channelsPerFrame = channelCount;
  d.bitsPerChannel = static_cast<uint32_t>(bytesPerSample(sampleType) * 8);
  return d;
}

AudioFormat wireFormat() { return AudioFormat{SampleType::Int16, 16000, 1, true}; }

std::optional<PCMBuffer> PCMBuffer::make(const AudioFormat& format, uint32_t frameCapacity) {
  const size_t perFrame = format.bytesPerFrameInBuffer();
  const uint32_t buffers = format.bufferCount();
  if (perFrame == 0 || buffers == 0) return std::nullopt;
  const uint64_t perBuffer = static_cast<uint64_t>(perFrame) * frameCapacity;
  if (perBuffer > std::numeric_limits<uint32_t>::max()) return std::nullopt;
  PCMBuffer buffer(format, frameCapacity);
  buffer.owned_ = true;
  buffer.storage_.assign(static_cast<size_t>(perBuffer) * buffers, std::byte{0});
  AudioBufferList list;
  list.buffers.resize(buffers);
  for (uint32_t i = 0; i < buffers; ++i) {
    list.buffers[i].numberChannels = format.interleaved ? format.channelCount : 1;
    list.buffers[i].data = buffer.storage_.data() + i * perBuffer;
  }
  buffer.list_ = std::move(list);
  buffer.updateOwnedByteSizes();
  return buffer;
}

PCMBuffer PCMBuffer::wrapping(const AudioFormat& format, uint32_t frameLength,
                              std::optional<AudioBufferList> list) {
  PCMBuffer buffer(format, frameLength);
  buffer.frameLength_ = frameLength;
  buffer.list_ = std::move(list);
  return buffer;
}

void PCMBuffer::setFrameLength(uint32_t frames) {
  frameLength_ = frames < frameCapacity_ ? frames : frameCapacity_;
  if (owned_) updateOwnedByteSizes();
}

// An owned buffer's list reports the bytes of its frame length, so a copy of
// it carries exactly the valid audio.
void PCMBuffer::updateOwnedByteSizes() {
  const auto bytes = static_cast<uint32_t>(format_.bytesPerFrameInBuffer() * frameLength_);
  for (auto& b : list_->buffers) b.dataByteSize = bytes;
}

const int16_t* PCMBuffer::int16ChannelData() const {
  if (format_.sampleType != SampleType::Int16 || !list_ || list_->buffers.empty()) return nullptr;
  return static_cast<const int16_t*>(list_->buffers[0].data);
}

int16_t* PCMBuffer::int16ChannelData() {
  return const_cast<int16_t*>(static_cast<const PCMBuffer*>(this)->int16ChannelData());
}

}  // namespace zt::platform
