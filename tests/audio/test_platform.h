// A platform for the audio tests: converters come from libsoxr, or from a
// factory a test supplies; every other service is out of scope and aborts.
#pragma once

#include <functional>
#include <memory>

#include "platform/platform.h"

namespace zt::test {

class TestPlatform : public platform::Platform {
 public:
  using ConverterFactory = std::function<std::unique_ptr<platform::AudioConverter>(
      const platform::AudioFormat& from, const platform::AudioFormat& to)>;

  // Converters from `makeSoxrConverter`.
  TestPlatform();
  explicit TestPlatform(ConverterFactory factory);

  platform::CaptureDevices& captureDevices() override;
  platform::ScreenAccess& screenAccess() override;
  platform::ScreenCapture& screenCapture() override;
  platform::NotificationCenter& notificationCenter() override;
  std::unique_ptr<platform::AudioEngine> makeAudioEngine() override;
  std::unique_ptr<platform::AudioConverter> makeConverter(const platform::AudioFormat& from,
                                                          const platform::AudioFormat& to) override;

  // How many converters were asked for, and the formats of the last request.
  int converterRequests = 0;
  platform::AudioFormat lastFrom;
  platform::AudioFormat lastTo;

 private:
  ConverterFactory factory_;
};

}  // namespace zt::test
