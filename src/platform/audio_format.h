// Audio formats and PCM buffers as the capture services hand them around.
//
// These are plain value types shared by every backend: a backend fills them,
// the pipeline reads them. Nothing here touches a device or a thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace zt::platform {

// Sample representations a PCM buffer can carry.
enum class SampleType : uint8_t { Float32, Float64, Int16, Int32 };

size_t bytesPerSample(SampleType type);

// Four-character format identifier of linear PCM ('lpcm').
inline constexpr uint32_t kFormatLinearPCM = 0x6c70636d;

// Format flags of a stream description.
inline constexpr uint32_t kFormatFlagIsFloat = 1u << 0;
inline constexpr uint32_t kFormatFlagIsSignedInteger = 1u << 2;
inline constexpr uint32_t kFormatFlagIsNonInterleaved = 1u << 5;

// The raw description a sample buffer carries about its audio. Any field may
// hold nonsense: whoever reads it checks it first.
struct StreamDescription {
  double sampleRate = 0;
  uint32_t formatID = 0;
  uint32_t formatFlags = 0;
  uint32_t bytesPerFrame = 0;
  uint32_t channelsPerFrame = 0;
  uint32_t bitsPerChannel = 0;
};

// A PCM format. Two formats compare equal exactly when a converter made for
// one can take buffers of the other.
struct AudioFormat {
  SampleType sampleType = SampleType::Float32;
  double sampleRate = 0;
  uint32_t channelCount = 0;
  bool interleaved = true;

  bool operator==(const AudioFormat&) const = default;

  // Bytes one frame takes in one buffer of a buffer list.
  size_t bytesPerFrameInBuffer() const;
  // Buffers a buffer list of this format holds: one when interleaved or
  // mono, one per channel otherwise.
  uint32_t bufferCount() const;

  // The format a stream description names, or nothing when it names none
  // that a PCM buffer can hold.
  static std::optional<AudioFormat> fromStreamDescription(const StreamDescription& description);
  StreamDescription streamDescription() const;
};

// The wire format: 16 kHz mono signed 16-bit, interleaved.
AudioFormat wireFormat();

// One buffer of a buffer list: where its bytes are and how many there are.
struct AudioBuffer {
  uint32_t numberChannels = 0;
  uint32_t dataByteSize = 0;
  void* data = nullptr;
};

struct AudioBufferList {
  std::vector<AudioBuffer> buffers;
  uint32_t numberBuffers() const { return static_cast<uint32_t>(buffers.size()); }
};

// A PCM buffer: a format, a capacity and a frame length, and a buffer list
// that describes every channel buffer. `owned` buffers hold their storage;
// `wrapping` ones describe memory owned by somebody else (an engine's render
// buffer, or a test's deliberately malformed list). Not thread-safe; one
// owner at a time.
class PCMBuffer {
 public:
  // An owned, zeroed buffer of `frameCapacity` frames in `format`; its frame
  // length starts at 0. Nothing when the size cannot be represented.
  static std::optional<PCMBuffer> make(const AudioFormat& format, uint32_t frameCapacity);
  // A buffer over someone else's memory; `list` may be absent.
  static PCMBuffer wrapping(const AudioFormat& format, uint32_t frameLength,
                            std::optional<AudioBufferList> list);

  PCMBuffer(PCMBuffer&&) noexcept = default;
  PCMBuffer& operator=(PCMBuffer&&) noexcept = default;
  PCMBuffer(const PCMBuffer&) = delete;
  PCMBuffer& operator=(const PCMBuffer&) = delete;

  const AudioFormat& format() const { return format_; }
  uint32_t frameCapacity() const { return frameCapacity_; }
  uint32_t frameLength() const { return frameLength_; }
  // Clamped to the capacity. For owned buffers the list's byte sizes follow.
  void setFrameLength(uint32_t frames);

  // Absent only for wrapping buffers made without a list.
  const AudioBufferList* audioBufferList() const { return list_ ? &*list_ : nullptr; }
  AudioBufferList* mutableAudioBufferList() { return list_ ? &*list_ : nullptr; }

  // The first channel's 16-bit samples; present only for interleaved or mono
  // Int16 buffers that have a list with data.
  const int16_t* int16ChannelData() const;
  int16_t* int16ChannelData();

 private:
  PCMBuffer(const AudioFormat& format, uint32_t capacity) : format_(format), frameCapacity_(capacity) {}
  void updateOwnedByteSizes();

  AudioFormat format_;
  uint32_t frameCapacity_ = 0;
  uint32_t frameLength_ = 0;
  std::vector<std::byte> storage_;
  std::optional<AudioBufferList> list_;
  bool owned_ = false;
};

}  // namespace zt::platform
