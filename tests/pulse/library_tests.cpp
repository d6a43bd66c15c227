// The backend loads libpulse at run time. These tests run in a process of
// their own, whose process-wide load is pointed at a library that does not
// exist before anything else runs: with a working server in reach, every
// service must still answer as it does when no server is there, and none
// may crash or hang.
#include <gtest/gtest.h>

#include <atomic>
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

// The first error a completion gives, and how often it ran.
struct Outcome {
  std::mutex mutex;
  std::atomic<int> calls{0};
  std::optional<Error> error;
  void set(std::optional<Error> e) {
    std::lock_guard lock(mutex);
    if (calls++ == 0) error = e;
  }
  // Waits for the completion; answers its error's domain ("" for none).
  std::string domain() {
    EXPECT_TRUE(waitUntil([&] { return calls > 0; }, 5s));
    std::lock_guard lock(mutex);
    return error ? error->domain : "";
  }
};

}  // namespace

TEST(PulseLibrary, ResolvesEveryFunctionOrNone) {
  pulse::LibpulseApi api;
  ASSERT_TRUE(pulse::resolveLibpulse(pulse::kLibpulseName, &api));
  EXPECT_EQ(resolvedCount(api), functionCount());
  // The pointers call the real functions.
  const pa_sample_spec sampleSpec{PA_SAMPLE_FLOAT32NE, 48000, 2};
  EXPECT_NE(api.pa_sample_spec_valid(&sampleSpec), 0);
  EXPECT_EQ(api.pa_usec_to_bytes(10 * PA_USEC_PER_MSEC, &sampleSpec), 480u * 2 * sizeof(float));
  // A missing library, and one that opens but has none of the functions.
  for (const char* name : {"libpulse-zentrell-absent.so.0", "libm.so.6"}) {
    EXPECT_FALSE(pulse::resolveLibpulse(name, &api)) << name;
    EXPECT_EQ(resolvedCount(api), 0u) << name;
  }
}

TEST(PulseLibrary, WithoutTheLibraryEveryServiceActsAsIfNoServerWereThere) {
  ASSERT_TRUE(kLibraryRedirected);
  PulseServer server(standardScript());
  ASSERT_TRUE(server.ready());
  Platform& platform = defaultPlatform();
  Outcome shareable, started, stopped;
  platform.screenCapture().getShareableContent(
      true, true, [&](std::optional<ShareableContent> content, std::optional<Error> e) {
        EXPECT_FALSE(content);
        shareable.set(e);
      });
  EXPECT_EQ(shareable.domain(), "PulseAudio");
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

  // A system-audio stream fails to start in the backend's domain and can
  // still be stopped, each completion once.
  StreamConfiguration configuration;
  configuration.capturesAudio = true;
  configuration.sampleRate = 48000;
  configuration.channelCount = 2;
  auto stream = platform.screenCapture().makeStream(ContentFilter{}, configuration, nullptr);
  ASSERT_TRUE(stream);
  stream->startCapture([&](std::optional<Error> e) { started.set(e); });
  EXPECT_EQ(started.domain(), "PulseAudio");
  stream->stopCapture([&](std::optional<Error> e) { stopped.set(e); });
  EXPECT_EQ(stopped.domain(), "");
  stream.reset();
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(started.calls + stopped.calls + shareable.calls, 3);
}
