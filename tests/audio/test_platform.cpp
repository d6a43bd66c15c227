#include "audio/test_platform.h"

#include <cstdlib>

#include "platform/soxr/soxr_converter.h"

namespace zt::test {

TestPlatform::TestPlatform() : factory_(&platform::makeSoxrConverter) {}

TestPlatform::TestPlatform(ConverterFactory factory) : factory_(std::move(factory)) {}

platform::CaptureDevices& TestPlatform::captureDevices() { std::abort(); }
platform::ScreenAccess& TestPlatform::screenAccess() { std::abort(); }
platform::ScreenCapture& TestPlatform::screenCapture() { std::abort(); }
platform::NotificationCenter& TestPlatform::notificationCenter() { std::abort(); }
std::unique_ptr<platform::AudioEngine> TestPlatform::makeAudioEngine() { std::abort(); }

std::unique_ptr<platform::AudioConverter> TestPlatform::makeConverter(const platform::AudioFormat& from,
                                                                      const platform::AudioFormat& to) {
  ++converterRequests;
  lastFrom = from;
  lastTo = to;
  return factory_(from, to);
}

}  // namespace zt::test
