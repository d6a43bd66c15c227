// The backend loads libpulse at run time. These tests run in a process of
// their own, whose process-wide load is pointed at a library that does not
// exist before anything else runs: with a working server in reach, every
// service must still answer as it does when no server is there, and none
// may crash or hang.
#include <gtest/gtest.h>

#include <mutex>
#include <thread>

#include "platform/platform.h"
#include "platform/pulse/pulse_api.h"
#include "pulse/pulse_server.h"

using namespace zt::platform;
using namespace zt::test::pulse;
using namespace std::chrono_literals;

namespace {

// Before main, so before the first load.
const bool kLibraryRedirected = [] {
  pulse::setLibpulseNameForTesting("libpulse-zentrell-absent.so.0");
  return true;
}();

// How many of the table's functions are resolved.
size_t resolvedCount(const pulse::LibpulseApi& api) {
  size_t count = 0;
#define ZT_COUNT(name) count += api.name != nullptr;
  ZT_LIBPULSE_FUNCTIONS(ZT_COUNT)
#undef ZT_COUNT
  return count;
}

size_t functionCount() {
  size_t count = 0;
#define ZT_COUNT(name) ++count;
  ZT_LIBPULSE_FUNCTIONS(ZT_COUNT)
#undef ZT_COUNT
  return count;
}

struct Outcome {
  std::mutex mutex;
  int calls = 0;
  std::optional<Error> error;
  bool hadContent = false;
  int count() {
    std::lock_guard<std::mutex> lock(mutex);
    return calls;
  }
};

StreamConfiguration audioConfiguration() {
  StreamConfiguration c;
  c.capturesAudio = true;
  c.sampleRate = 48000;
  c.channelCount = 2;
  return c;
}

}  // namespace

TEST(PulseLibrary, TheInstalledLibraryResolvesEveryFunction) {
  pulse::LibpulseApi api;
  ASSERT_TRUE(pulse::resolveLibpulse(pulse::kLibpulseName, &api));
  EXPECT_EQ(resolvedCount(api), functionCount());
  // The pointers call the real functions.
  const pa_sample_spec sampleSpec{PA_SAMPLE_FLOAT32NE, 48000, 2};
  EXPECT_NE(api.pa_sample_spec_valid(&sampleSpec), 0);
  const pa_sample_spec bad{PA_SAMPLE_FLOAT32NE, 48000, 0};
  EXPECT_EQ(api.pa_sample_spec_valid(&bad), 0);
  EXPECT_EQ(api.pa_usec_to_bytes(10 * PA_USEC_PER_MSEC, &sampleSpec), 480u * 2 * sizeof(float));
}

TEST(PulseLibrary, AMissingLibraryOrFunctionLeavesNothingResolved) {
  pulse::LibpulseApi api;
  EXPECT_FALSE(pulse::resolveLibpulse("libpulse-zentrell-absent.so.0", &api));
  EXPECT_EQ(resolvedCount(api), 0u);
  // A library that opens but has none of the functions.
  EXPECT_FALSE(pulse::resolveLibpulse("libm.so.6", &api));
  EXPECT_EQ(resolvedCount(api), 0u);
}

TEST(PulseLibrary, WithoutTheLibraryEveryServiceActsAsIfNoServerWereThere) {
  ASSERT_TRUE(kLibraryRedirected);
  PulseServer server(standardScript());
  ASSERT_TRUE(server.ready());
  Platform& platform = defaultPlatform();

  // The display query reports the failure in the backend's own domain.
  Outcome shareable;
  const auto begin = std::chrono::steady_clock::now();
  platform.screenCapture().getShareableContent(
      true, true, [&](std::optional<ShareableContent> content, std::optional<Error> e) {
        std::lock_guard<std::mutex> lock(shareable.mutex);
        ++shareable.calls;
        shareable.error = e;
        shareable.hadContent = content.has_value();
      });
  ASSERT_TRUE(waitUntil([&] { return shareable.count() > 0; }, 10s));
  EXPECT_LT(std::chrono::steady_clock::now() - begin, 5s);
  {
    std::lock_guard<std::mutex> lock(shareable.mutex);
    ASSERT_TRUE(shareable.error);
    EXPECT_EQ(shareable.error->domain, "PulseAudio");
    EXPECT_FALSE(shareable.hadContent);
  }
  EXPECT_FALSE(pulse::loadLibpulse());

  // Unknown, as without a server: the display query names what is missing.
  EXPECT_TRUE(platform.captureDevices().hasDefaultAudioDevice());

  auto engine = platform.makeAudioEngine();
  auto observer = platform.notificationCenter().addEngineConfigurationObserver(engine.get(), [] {});
  EXPECT_EQ(engine->inputFormat().channelCount, 0u);
  engine->installTap(0, 1024, AudioFormat{SampleType::Float32, 48000, 2, true}, [](const PCMBuffer&) {});
  engine->prepare();
  EXPECT_FALSE(engine->start());
  engine->stop();
  engine->removeTap(0);
  platform.notificationCenter().removeObserver(observer);
  engine.reset();

  // A system-audio stream fails to start in the backend's domain and can
  // still be stopped.
  ContentFilter filter;
  auto stream = platform.screenCapture().makeStream(filter, audioConfiguration(), nullptr);
  ASSERT_TRUE(stream);
  Outcome started, stopped;
  stream->startCapture([&](std::optional<Error> e) {
    std::lock_guard<std::mutex> lock(started.mutex);
    ++started.calls;
    started.error = e;
  });
  ASSERT_TRUE(waitUntil([&] { return started.count() > 0; }, 10s));
  {
    std::lock_guard<std::mutex> lock(started.mutex);
    ASSERT_TRUE(started.error);
    EXPECT_EQ(started.error->domain, "PulseAudio");
  }
  stream->stopCapture([&](std::optional<Error> e) {
    std::lock_guard<std::mutex> lock(stopped.mutex);
    ++stopped.calls;
    stopped.error = e;
  });
  ASSERT_TRUE(waitUntil([&] { return stopped.count() > 0; }, 10s));
  stream.reset();
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(started.count(), 1);
  EXPECT_EQ(stopped.count(), 1);
}
