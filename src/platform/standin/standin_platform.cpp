// The product's platform until real capture exists: permissions granted,
// no microphone, so preparation ends in "MICROPHONE_UNAVAILABLE".
#include "platform/platform.h"
#include "platform/soxr/soxr_converter.h"

namespace zt::platform {
namespace {

class StandinPlatform final : public Platform,
                              CaptureDevices,
                              ScreenAccess,
                              ScreenCapture,
                              NotificationCenter {
 public:
  CaptureDevices& captureDevices() override { return *this; }
  ScreenAccess& screenAccess() override { return *this; }
  ScreenCapture& screenCapture() override { return *this; }
  NotificationCenter& notificationCenter() override { return *this; }
  std::unique_ptr<AudioEngine> makeAudioEngine() override { return nullptr; }
  std::unique_ptr<AudioConverter> makeConverter(const AudioFormat& from, const AudioFormat& to) override {
    return makeSoxrConverter(from, to);
  }

  AuthorizationStatus audioAuthorizationStatus() override { return AuthorizationStatus::Authorized; }
  void requestAudioAccess(std::function<void(bool)> completion) override { completion(true); }
  bool hasDefaultAudioDevice() override { return false; }

  bool preflight() override { return true; }
  bool request() override { return true; }

  void getShareableContent(bool, bool, ShareableContentCompletion completion) override {
    completion(ShareableContent{}, std::nullopt);
  }
  std::shared_ptr<Stream> makeStream(const ContentFilter&, const StreamConfiguration&,
                                     StreamDelegate*) override {
    return nullptr;
  }

  std::shared_ptr<NotificationObserver> addEngineConfigurationObserver(AudioEngine*,
                                                                       std::function<void()>) override {
    return nullptr;
  }
  void removeObserver(const std::shared_ptr<NotificationObserver>&) override {}
};

}  // namespace

Platform& defaultPlatform() {
  static auto* platform = new StandinPlatform();
  return *platform;
}

}  // namespace zt::platform
