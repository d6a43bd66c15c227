#include "platform/pulse/pulse_platform.h"

#include "platform/soxr/soxr_converter.h"

namespace zt::platform {

namespace pulse {

void PulseCaptureDevices::hasDefaultAudioDevice(std::function<void(bool present)> completion) {
  // An engine of its own, kept alive by its pending answer, finds the
  // microphone exactly as a start will.
  auto engine = std::make_shared<PulseEngine>();
  engine->inputFormat([engine, completion = std::move(completion)](AudioFormat format) {
    // Without a server nothing can be said about the microphone; answering
    // yes lets the display query report what is really missing, the server.
    const bool noServer = format.channelCount == 0 && format.sampleRate == 0;
    completion(noServer || format.channelCount > 0);
  });
}

std::unique_ptr<AudioEngine> PulsePlatform::makeAudioEngine() { return std::make_unique<PulseEngine>(); }

std::unique_ptr<AudioConverter> PulsePlatform::makeConverter(const AudioFormat& from, const AudioFormat& to) {
  return makeSoxrConverter(from, to);
}

}  // namespace pulse

// Never destroyed: the process ends with _exit while the loop thread and
// libdispatch's workers may still use it.
Platform& defaultPlatform() {
  static auto* platform = new pulse::PulsePlatform();
  return *platform;
}

}  // namespace zt::platform
