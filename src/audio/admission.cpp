// Sample admission: which captured buffers belong to the run now going, the
// four-slot work budget taken without waiting, and the conversion tasks on
// `_work`. Every failure here goes through the output's `fail`, since none
// of these paths runs on the main queue.
#include <cstring>

#include "base/dispatch.h"
#include "capture/ZTCapture.h"

namespace zt {

void ZTCapture::returnSlot() { dispatch_semaphore_signal(_slots); }

// On `_samples`.
void ZTCapture::stream(platform::Stream* stream, std::shared_ptr<platform::SampleBuffer> buffer,
                       int64_t type) {
  ZT_ASSERT_QUEUE(_samples);
  std::lock_guard lock(_admission);
  const uint64_t snapshot = _audioGeneration.load();
  platform::Stream* active = _activeStream.load();
  if (type != platform::kStreamOutputAudio || stream != active || !_acceptWork.load() || !buffer ||
      !buffer->dataIsReady())
    return;
  const int64_t frames = buffer->numSamples();
  if (frames < 1 || frames > kMaxBufferFrames) {
    _output->fail("AUDIO_CONVERSION_FAILED");
    return;
  }
  if (dispatch_semaphore_wait(_slots, DISPATCH_TIME_NOW) != 0) {
    _output->fail("AUDIO_BACKPRESSURE");
    return;
  }
  // The buffer is kept by reference; its data is copied on `_work`.
  async(_work, [this, snapshot, buffer = std::move(buffer), frames]() mutable {
    convertSystem(snapshot, std::move(buffer), frames);
  });
}

namespace {

// The stream description a system buffer may carry.
bool acceptableDescription(const platform::StreamDescription& d) {
  return d.formatID == platform::kFormatLinearPCM && d.channelsPerFrame >= 1 &&
         d.channelsPerFrame <= kMaxBufferChannels && d.bitsPerChannel <= 64 &&
         d.sampleRate >= kMinSampleRate && d.sampleRate <= kMaxSampleRate;
}

}  // namespace

// On `_work`; returns the slot on every path.
void ZTCapture::convertSystem(uint64_t snapshot, std::shared_ptr<platform::SampleBuffer> buffer,
                              int64_t frames) {
  ZT_ASSERT_QUEUE(_work);
  if (snapshot == _audioGeneration.load()) {
    bool ok = false;
    const std::optional<platform::StreamDescription> description = buffer->streamDescription();
    if (description && acceptableDescription(*description)) {
      const auto format = platform::AudioFormat::fromStreamDescription(*description);
      auto pcm = format ? platform::PCMBuffer::make(*format, static_cast<uint32_t>(frames)) : std::nullopt;
      if (pcm) {
        pcm->setFrameLength(static_cast<uint32_t>(frames));
        if (buffer->copyPCMData(0, frames, *pcm->mutableAudioBufferList()) == 0) {
          if (!_systemConverter) _systemConverter = std::make_unique<ZTConverter>(_platform);
          ok = _systemConverter->convert(*pcm, "system", _output);
        }
      }
    }
    if (!ok) _output->fail("AUDIO_CONVERSION_FAILED");
  }
  buffer.reset();
  returnSlot();
}

// On the engine's thread. The engine's buffer is copied before this returns;
// nothing keeps a reference to it.
void ZTCapture::microphone(const platform::PCMBuffer& buffer, uint64_t generation) {
  std::lock_guard lock(_admission);
  if (!_acceptWork.load() || generation != _audioGeneration.load()) return;
  if (dispatch_semaphore_wait(_slots, DISPATCH_TIME_NOW) != 0) {
    _output->fail("AUDIO_BACKPRESSURE");
    return;
  }
  auto reject = [this] {
    returnSlot();
    _output->fail("AUDIO_CONVERSION_FAILED");
  };
  if (!ZTValidBuffer(buffer)) return reject();
  std::optional<platform::PCMBuffer> copy = platform::PCMBuffer::make(buffer.format(), buffer.frameLength());
  if (!copy) return reject();
  copy->setFrameLength(buffer.frameLength());
  const platform::AudioBufferList& from = *buffer.audioBufferList();
  platform::AudioBufferList& to = *copy->mutableAudioBufferList();
  if (to.numberBuffers() != from.numberBuffers()) return reject();
  for (uint32_t i = 0; i < from.numberBuffers(); ++i) {
    if (to.buffers[i].dataByteSize < from.buffers[i].dataByteSize) return reject();
    std::memcpy(to.buffers[i].data, from.buffers[i].data, from.buffers[i].dataByteSize);
  }
  async(_work, [this, copy = std::move(*copy), generation]() mutable {
    convertMicrophone(std::move(copy), generation);
  });
}

// On `_work`; returns the slot on every path.
void ZTCapture::convertMicrophone(platform::PCMBuffer copy, uint64_t token) {
  ZT_ASSERT_QUEUE(_work);
  if (token == _audioGeneration.load()) {
    if (!_microphoneConverter) _microphoneConverter = std::make_unique<ZTConverter>(_platform);
    if (!_microphoneConverter->convert(copy, "microphone", _output)) _output->fail("AUDIO_CONVERSION_FAILED");
  }
  returnSlot();
}

}  // namespace zt
