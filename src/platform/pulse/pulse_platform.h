// The PulseAudio backend as one `Platform`: a desktop session grants audio
// without asking, the default output stands for the one display, and the
// default source is the microphone.
#pragma once

#include "platform/platform.h"
#include "platform/pulse/pulse_engine.h"
#include "platform/pulse/pulse_stream.h"

namespace zt::platform::pulse {

class PulseCaptureDevices final : public CaptureDevices {
 public:
  AuthorizationStatus audioAuthorizationStatus() override { return AuthorizationStatus::Authorized; }
  void requestAudioAccess(std::function<void(bool granted)> completion) override { completion(true); }
  using CaptureDevices::hasDefaultAudioDevice;
  // Asks the server as an engine's input format does; answers within about
  // two seconds.
  void hasDefaultAudioDevice(std::function<void(bool present)> completion) override;
};

class PulseScreenAccess final : public ScreenAccess {
 public:
  bool preflight() override { return true; }
  bool request() override { return true; }
};

class PulsePlatform final : public Platform {
 public:
  CaptureDevices& captureDevices() override { return devices_; }
  ScreenAccess& screenAccess() override { return access_; }
  ScreenCapture& screenCapture() override { return capture_; }
  NotificationCenter& notificationCenter() override { return notifications_; }
  std::unique_ptr<AudioEngine> makeAudioEngine() override;
  std::unique_ptr<AudioConverter> makeConverter(const AudioFormat& from, const AudioFormat& to) override;

 private:
  PulseCaptureDevices devices_;
  PulseScreenAccess access_;
  PulseScreenCapture capture_;
  PulseNotificationCenter notifications_;
};

}  // namespace zt::platform::pulse
