#include "platform/pulse/pulse_platform.h"

#include "platform/soxr/soxr_converter.h"

namespace zt::platform {

namespace pulse {

bool PulseCaptureDevices::hasDefaultAudioDevice() {
  const auto deadline = Clock::now() + std::chrono::seconds(2);
  int error = 0;
  pa_context* context = connectContext("Zentrell devices", deadline, &error);
  // Without a server nothing can be said about the microphone; answering
  // yes lets the display query report what is really missing, the server.
  if (!context) return true;
  bool found = false;
  if (auto defaults = queryDefaults(context, deadline); defaults && !defaults->source.empty()) {
    auto source = querySource(context, defaults->source, deadline);
    // The monitor of an output is no microphone: recording it would carry
    // the system audio twice.
    found = source && !source->isMonitor && source->sampleSpec.channels > 0;
  }
  releaseContext(context);
  return found;
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
