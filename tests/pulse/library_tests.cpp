// The backend loads libpulse at run time. In this process of its own the load
// is pointed at a library that does not exist: with a working server in reach,
// every service must still answer as with no server, none crashing or hanging.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/platform.h"
#include "platform/pulse/pulse_api.h"
#include "pulse/pulse_server.h"

using namespace zt::platform;
using namespace zt::test::pulse;
using namespace std::chrono_literals;

const bool kLibraryRedirected = [] {
  pulse::setLibpulseNameForTesting("libpulse-zentrell-absent.so.0");
  return true;
}();

TEST(PulseLibrary, ResolvesEveryFunctionOrNone) {
  pulse::LibpulseApi api;
  // How many of the table's functions are resolved, and how many there are.
  const auto resolved = [&api] {
    size_t count = 0, all = 0;
#define ZT_COUNT(name) count += api.name != nullptr, ++all;
    ZT_LIBPULSE_FUNCTIONS(ZT_COUNT)
#undef ZT_COUNT
    return std::pair{count, all};
  };
  ASSERT_TRUE(pulse::resolveLibpulse(pulse::kLibpulseName, &api));
  EXPECT_EQ(resolved().first, resolved().second);
  const pa_sample_spec sampleSpec{PA_SAMPLE_FLOAT32NE, 48000, 2};
  EXPECT_EQ(api.pa_usec_to_bytes(10 * PA_USEC_PER_MSEC, &sampleSpec), 480u * 2 * sizeof(float));
  // A missing library, and one that opens but has none of the functions.
  for (const char* name : {"libpulse-zentrell-absent.so.0", "libm.so.6"}) {
    EXPECT_FALSE(pulse::resolveLibpulse(name, &api)) << name;
    EXPECT_EQ(resolved().first, 0u) << name;
  }
}

TEST(PulseLibrary, WithoutTheLibraryEveryServiceActsAsIfNoServerWereThere) {
  ASSERT_TRUE(kLibraryRedirected);
  PulseServer server;
  ASSERT_TRUE(server.ready());
  Platform& platform = defaultPlatform();
  std::atomic<int> calls{0};
  std::atomic<bool> failedInDomain{true};
  auto expectError = [&](bool wanted) {
    return [&, wanted](auto&&... args) {
      const std::optional<Error>& e = std::get<sizeof...(args) - 1>(std::forward_as_tuple(args...));
      failedInDomain = failedInDomain && (e.has_value() == wanted) && (!e || e->domain == "PulseAudio");
      ++calls;
    };
  };
  platform.screenCapture().getShareableContent(true, true, expectError(true));
  EXPECT_FALSE(pulse::loadLibpulse());
  // Unknown, as without a server: the display query names what is missing.
  EXPECT_TRUE(platform.captureDevices().hasDefaultAudioDevice());
  auto engine = platform.makeAudioEngine();
  EXPECT_EQ(engine->inputFormat().channelCount, 0u);
  engine->installTap(0, 1024, AudioFormat{SampleType::Float32, 48000, 2, true}, [](const PCMBuffer&) {});
  engine->prepare();
  EXPECT_FALSE(engine->start());
  engine->stop();
  engine->removeTap(0);
  // A system-audio stream fails to start and can still be stopped.
  const StreamConfiguration configuration{.capturesAudio = true, .sampleRate = 48000, .channelCount = 2};
  auto stream = platform.screenCapture().makeStream(ContentFilter{}, configuration, nullptr);
  ASSERT_TRUE(stream);
  stream->startCapture(expectError(true));
  EXPECT_TRUE(waitUntil([&] { return calls == 2; }, 5s));
  stream->stopCapture(expectError(false));
  stream.reset();
  EXPECT_TRUE(waitUntil([&] { return calls == 3; }, 5s));
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(calls, 3) << "each completion once";
  EXPECT_TRUE(failedInDomain);
}
