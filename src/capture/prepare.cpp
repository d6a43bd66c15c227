// Preparation: microphone authorization, screen-capture access, a
// microphone, and the display whose stream carries the system audio.
//
// The queries answer on queues of the platform's choosing (or before they
// return); every answer reaches its step through its own main-queue task,
// which checks that the preparation is still current.
#include "base/dispatch.h"
#include "capture/ZTCapture.h"

namespace zt {

void ZTCapture::beginPrepare() {
  ZT_ASSERT_MAIN_QUEUE();
  _phase = CapturePhase::Preparing;
  const uint64_t token = ++_generation;
  // No deadline: a permission prompt waits for the user.
  deadline(0);
  microphonePermission([this, token](bool granted) {
    async(mainQueue(), [this, token, granted] { preparationStep1(token, granted); });
  });
}

bool ZTCapture::preparationIsCurrent(uint64_t token) const {
  return token == _generation && _phase == CapturePhase::Preparing;
}

void ZTCapture::preparationStep1(uint64_t token, bool granted) {
  ZT_ASSERT_MAIN_QUEUE();
  if (!preparationIsCurrent(token)) return;
  if (!granted) {
    fail("MICROPHONE_PERMISSION_DENIED");
    return;
  }
  screenPermission([this, token](bool granted) {
    async(mainQueue(), [this, token, granted] { preparationStep2(token, granted); });
  });
}

void ZTCapture::preparationStep2(uint64_t token, bool granted) {
  ZT_ASSERT_MAIN_QUEUE();
  if (!preparationIsCurrent(token)) return;
  if (!granted) {
    fail("SCREEN_PERMISSION_DENIED");
    return;
  }
  displayForCapture(
      [this, token](std::shared_ptr<platform::Display> display, std::optional<std::string> code) {
        async(mainQueue(), [this, token, display = std::move(display), code = std::move(code)] {
          preparationStep3(token, display, code);
        });
      });
}

void ZTCapture::preparationStep3(uint64_t token, std::shared_ptr<platform::Display> display,
                                 std::optional<std::string> code) {
  ZT_ASSERT_MAIN_QUEUE();
  if (!preparationIsCurrent(token)) return;
  if (code) {
    fail(*code);
    return;
  }
  if (!display) {
    fail("NO_DISPLAY");
    return;
  }
  _display = std::move(display);
  _prepared = true;
  _phase = CapturePhase::Prepared;
  prepared();
}

void ZTCapture::microphonePermission(PermissionAnswer answer) {
  ZT_ASSERT_MAIN_QUEUE();
  platform::CaptureDevices& devices = _platform.captureDevices();
  const platform::AuthorizationStatus status = devices.audioAuthorizationStatus();
  if (status == platform::AuthorizationStatus::NotDetermined) {
    devices.requestAudioAccess(std::move(answer));
    return;
  }
  answer(status == platform::AuthorizationStatus::Authorized);
}

void ZTCapture::screenPermission(PermissionAnswer answer) {
  ZT_ASSERT_MAIN_QUEUE();
  platform::ScreenAccess& access = _platform.screenAccess();
  if (access.preflight()) {
    answer(true);
    return;
  }
  // The request may prompt and block until the user answers.
  async(_permissions, [&access, answer = std::move(answer)] {
    const bool granted = access.request() && access.preflight();
    answer(granted);
  });
}

// Main queue. The presence answer comes back here before the content is
// asked for, so the checks keep their order without the main queue waiting
// on the audio service.
void ZTCapture::displayForCapture(DisplayAnswer answer) {
  ZT_ASSERT_MAIN_QUEUE();
  _platform.captureDevices().hasDefaultAudioDevice([this, answer = std::move(answer)](bool present) {
    async(mainQueue(), [this, answer, present] {
      if (!present) {
        answer(nullptr, "MICROPHONE_UNAVAILABLE");
        return;
      }
      shareableDisplay(answer);
    });
  });
}

void ZTCapture::shareableDisplay(DisplayAnswer answer) {
  ZT_ASSERT_MAIN_QUEUE();
  _platform.screenCapture().getShareableContent(
      true, true,
      [answer = std::move(answer)](std::optional<platform::ShareableContent> content,
                                   std::optional<platform::Error> error) {
        if (error) {
          const bool declined = error->domain == platform::kStreamErrorDomain &&
                                error->code == platform::kStreamErrorUserDeclined;
          answer(nullptr, declined ? "SCREEN_PERMISSION_DENIED" : "SYSTEM_AUDIO_UNAVAILABLE");
        } else if (!content || content->displays.empty()) {
          answer(nullptr, "NO_DISPLAY");
        } else {
          answer(content->displays.front(), std::nullopt);
        }
      });
}

}  // namespace zt
