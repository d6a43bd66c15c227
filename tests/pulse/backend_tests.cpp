// The PulseAudio backend on its own, driven as the session drives it,
// against a private server.
#include <dispatch/dispatch.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <thread>

#include "platform/platform.h"
#include "pulse/pulse_server.h"

using namespace zt::platform;
using namespace zt::test::pulse;
using namespace std::chrono_literals;

namespace {

int gQueueKey;

// Stands in for the session: the stream's output and delegate, on a serial
// samples queue.
class Recorder final : public StreamOutput, public StreamDelegate {
 public:
  Recorder() {
    queue_ = dispatch_queue_create("test.samples", DISPATCH_QUEUE_SERIAL);
    dispatch_queue_set_specific(queue_, &gQueueKey, this, nullptr);
  }
  ~Recorder() { dispatch_release(queue_); }
  dispatch_queue_t queue() const { return queue_; }

  void stream(Stream* s, std::shared_ptr<SampleBuffer> buffer, int64_t type) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (dispatch_get_specific(&gQueueKey) != this) ++wrongQueue;
    if (type != kStreamOutputAudio || s != expected) ++problems;
    auto d = buffer->streamDescription();
    const int64_t frames = buffer->numSamples();
    if (!buffer->dataIsReady() || !d || d->formatID != kFormatLinearPCM ||
        !(d->formatFlags & kFormatFlagIsFloat) || d->bitsPerChannel != 32 || d->channelsPerFrame != 2 ||
        d->sampleRate != 48000 || frames < 1 || frames > 16384) {
      ++problems;
      return;
    }
    maxFrames = std::max<int64_t>(maxFrames, frames);
    sizes.push_back(frames);
    std::vector<float> data(static_cast<size_t>(frames) * 2);
    AudioBufferList list;
    list.buffers.push_back(AudioBuffer{2, static_cast<uint32_t>(data.size() * sizeof(float)), data.data()});
    if (buffer->copyPCMData(0, frames, list) != 0) {
      ++problems;
      return;
    }
    for (int64_t i = 0; i < frames; ++i) left.push_back(data[static_cast<size_t>(i) * 2]);
    ++buffers;
  }
  void stream(Stream* s, const Error& error) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (s == expected) ++stops;
    stopDomain = error.domain;
  }

  // The samples received since `from`.
  std::vector<float> since(size_t from) {
    std::lock_guard<std::mutex> lock(mutex_);
    return from < left.size() ? std::vector<float>(left.begin() + static_cast<long>(from), left.end())
                              : std::vector<float>();
  }
  size_t count() {
    std::lock_guard<std::mutex> lock(mutex_);
    return left.size();
  }
  int stopCount() {
    std::lock_guard<std::mutex> lock(mutex_);
    return stops;
  }
  std::vector<int64_t> sizesSince(size_t from) {
    std::lock_guard<std::mutex> lock(mutex_);
    return from < sizes.size() ? std::vector<int64_t>(sizes.begin() + static_cast<long>(from), sizes.end())
                               : std::vector<int64_t>();
  }
  size_t bufferCount() {
    std::lock_guard<std::mutex> lock(mutex_);
    return sizes.size();
  }
  // Frames per buffer so far, on average.
  size_t averageFrames() {
    std::lock_guard<std::mutex> lock(mutex_);
    return buffers == 0 ? 0 : left.size() / buffers;
  }

  Stream* expected = nullptr;
  int wrongQueue = 0, problems = 0, stops = 0;
  int64_t maxFrames = 0;
  std::vector<int64_t> sizes;
  size_t buffers = 0;
  std::string stopDomain;
  std::vector<float> left;

 private:
  std::mutex mutex_;
  dispatch_queue_t queue_;
};

// Waits for a stream completion.
struct Completion {
  std::mutex mutex;
  bool done = false;
  std::optional<Error> error;
  int calls = 0;
  StreamCompletion make() {
    return [this](std::optional<Error> e) {
      std::lock_guard<std::mutex> lock(mutex);
      ++calls;
      error = e;
      done = true;
    };
  }
  bool wait(std::chrono::milliseconds timeout = 10s) {
    return waitUntil(
        [this] {
          std::lock_guard<std::mutex> lock(mutex);
          return done;
        },
        timeout);
  }
};

StreamConfiguration audioConfiguration() {
  StreamConfiguration c;
  c.capturesAudio = true;
  c.excludesCurrentProcessAudio = true;
  c.sampleRate = 48000;
  c.channelCount = 2;
  c.width = 2;
  c.height = 2;
  c.queueDepth = 3;
  return c;
}

std::optional<ShareableContent> shareable(std::optional<Error>* error,
                                          std::chrono::milliseconds* took = nullptr) {
  std::mutex m;
  bool done = false;
  int calls = 0;
  std::optional<ShareableContent> result;
  const auto begin = std::chrono::steady_clock::now();
  defaultPlatform().screenCapture().getShareableContent(
      true, true, [&](std::optional<ShareableContent> content, std::optional<Error> e) {
        std::lock_guard<std::mutex> lock(m);
        result = content;
        *error = e;
        ++calls;
        done = true;
      });
  EXPECT_TRUE(waitUntil(
      [&] {
        std::lock_guard<std::mutex> lock(m);
        return done;
      },
      10s));
  if (took)
    *took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - begin);
  std::this_thread::sleep_for(100ms);
  std::lock_guard<std::mutex> lock(m);
  EXPECT_EQ(calls, 1);
  return result;
}

// A running system-audio stream on the default output.
struct SystemCapture {
  Recorder recorder;
  std::shared_ptr<Stream> stream;
  bool start() {
    ContentFilter filter;
    stream = defaultPlatform().screenCapture().makeStream(filter, audioConfiguration(), &recorder);
    if (!stream) return false;
    recorder.expected = stream.get();
    if (stream->addStreamOutput(&recorder, kStreamOutputScreen, recorder.queue())) return false;
    if (!stream->addStreamOutput(&recorder, kStreamOutputAudio, recorder.queue())) return false;
    Completion started;
    stream->startCapture(started.make());
    return started.wait() && !started.error;
  }
  void stop() {
    if (!stream) return;
    Completion stopped;
    stream->stopCapture(stopped.make());
    EXPECT_TRUE(stopped.wait());
    stream->removeStreamOutput(&recorder, kStreamOutputAudio);
    stream.reset();
  }
  ~SystemCapture() { stop(); }
};

// A running microphone engine with a 1024-frame tap.
struct MicCapture {
  std::unique_ptr<AudioEngine> engine = defaultPlatform().makeAudioEngine();
  std::shared_ptr<NotificationObserver> observer;
  std::atomic<int> changes{0};
  std::atomic<int> wrongSize{0};
  std::vector<uint32_t> sizes;  // of every tap buffer, under `mutex`
  std::atomic<bool> stallOnce{false};
  // What must hold whenever the configuration changes.
  std::function<bool()> before;
  std::atomic<int> changesTooEarly{0};
  std::mutex mutex;
  std::vector<float> left;
  AudioFormat format;

  bool start() {
    format = engine->inputFormat();
    if (format.channelCount == 0) return false;
    engine->installTap(0, 1024, format, [this](const PCMBuffer& b) {
      if (b.frameLength() < 1024 || b.frameLength() > 16384) ++wrongSize;
      const auto* list = b.audioBufferList();
      if (!list || list->buffers.empty()) return;
      const auto* data = static_cast<const float*>(list->buffers[0].data);
      {
        std::lock_guard<std::mutex> lock(mutex);
        sizes.push_back(b.frameLength());
        for (uint32_t i = 0; i < b.frameLength(); ++i) left.push_back(data[i * b.format().channelCount]);
      }
      // The tap runs on the engine's only thread: sleeping here stalls all
      // of its reading, as a stopped process would.
      if (stallOnce.exchange(false)) std::this_thread::sleep_for(300ms);
    });
    observer = defaultPlatform().notificationCenter().addEngineConfigurationObserver(engine.get(), [this] {
      if (before && !before()) ++changesTooEarly;
      ++changes;
    });
    engine->prepare();
    return engine->start();
  }
  std::vector<float> since(size_t from) {
    std::lock_guard<std::mutex> lock(mutex);
    return from < left.size() ? std::vector<float>(left.begin() + static_cast<long>(from), left.end())
                              : std::vector<float>();
  }
  size_t count() {
    std::lock_guard<std::mutex> lock(mutex);
    return left.size();
  }
  std::vector<uint32_t> sizesSince(size_t from) {
    std::lock_guard<std::mutex> lock(mutex);
    return from < sizes.size() ? std::vector<uint32_t>(sizes.begin() + static_cast<long>(from), sizes.end())
                               : std::vector<uint32_t>();
  }
  size_t bufferCount() {
    std::lock_guard<std::mutex> lock(mutex);
    return sizes.size();
  }
  void stop() {
    if (!engine) return;
    if (observer) defaultPlatform().notificationCenter().removeObserver(observer);
    engine->stop();
    engine->removeTap(0);
    engine.reset();
  }
  ~MicCapture() { stop(); }
};

// A player that is ended when the test ends.
struct Player {
  pid_t pid = -1;
  Player(PulseServer& server, const std::string& sink, const std::string& file, int latencyMs = 50)
      : pid(server.play(sink, file, latencyMs)) {}
  ~Player() { PulseServer::stopPlayer(pid); }
};

std::string writeTone(PulseServer& server, const std::string& name, double frequency, double seconds = 60) {
  const std::string path = server.dir() + "/" + name + ".raw";
  writeRaw(path, tone(frequency, seconds, 48000));
  return path;
}

}  // namespace

TEST(PulseBackend, ShareableContentNamesTheDefaultOutput) {
  PulseServer server(standardScript());
  ASSERT_TRUE(server.ready());
  std::optional<Error> error;
  auto content = shareable(&error);
  ASSERT_FALSE(error);
  ASSERT_TRUE(content);
  ASSERT_EQ(content->displays.size(), 1u);
  ASSERT_TRUE(content->displays[0]);
}

TEST(PulseBackend, NoSinkMeansNoDisplay) {
  ZT_SKIP_ON_PIPEWIRE();
  PulseServer server(
      "load-module module-native-protocol-unix auth-anonymous=1 socket=@DIR@/native\n"
      "load-module module-sine-source source_name=virtualmic rate=48000\n");
  ASSERT_TRUE(server.ready());
  std::optional<Error> error;
  auto content = shareable(&error);
  ASSERT_FALSE(error);
  ASSERT_TRUE(content);
  EXPECT_TRUE(content->displays.empty());
}

TEST(PulseBackend, NoServerIsAnErrorWithoutHanging) {
  PulseServer server(standardScript());
  ASSERT_TRUE(server.ready());
  server.kill();
  std::optional<Error> error;
  std::chrono::milliseconds took{};
  auto content = shareable(&error, &took);
  ASSERT_TRUE(error);
  EXPECT_NE(error->domain, kStreamErrorDomain);
  EXPECT_FALSE(content);
  EXPECT_LT(took.count(), 5000);
  // Unknown without a server; the display query names the failure.
  EXPECT_TRUE(defaultPlatform().captureDevices().hasDefaultAudioDevice());
  auto engine = defaultPlatform().makeAudioEngine();
  EXPECT_EQ(engine->inputFormat().channelCount, 0u);
  EXPECT_FALSE(engine->start());
}

TEST(PulseBackend, PermissionsAreGranted) {
  auto& devices = defaultPlatform().captureDevices();
  EXPECT_EQ(devices.audioAuthorizationStatus(), AuthorizationStatus::Authorized);
  std::atomic<int> granted{0};
  devices.requestAudioAccess([&](bool g) { granted = g ? 1 : 2; });
  EXPECT_TRUE(waitUntil([&] { return granted != 0; }, 5s));
  EXPECT_EQ(granted, 1);
  EXPECT_TRUE(defaultPlatform().screenAccess().preflight());
  EXPECT_TRUE(defaultPlatform().screenAccess().request());
}

TEST(PulseBackend, MonitorAsDefaultSourceIsNoMicrophone) {
  PulseServer server(standardScript());
  ASSERT_TRUE(server.ready());
  EXPECT_TRUE(defaultPlatform().captureDevices().hasDefaultAudioDevice());
  ASSERT_EQ(server.pactl("set-default-source speakers.monitor"), 0);
  EXPECT_FALSE(defaultPlatform().captureDevices().hasDefaultAudioDevice());
  EXPECT_EQ(defaultPlatform().makeAudioEngine()->inputFormat().channelCount, 0u);
}

TEST(PulseBackend, SystemAndMicrophoneCarryTheirOwnSignals) {
  PulseServer server(standardScript());
  ASSERT_TRUE(server.ready());
  Player speakers(server, "speakers", writeTone(server, "system", 1000));
  Player mic(server, "micsink", writeTone(server, "mic", 600));

  MicCapture micCapture;
  ASSERT_TRUE(micCapture.start());
  EXPECT_EQ(micCapture.format.sampleRate, 48000);
  EXPECT_EQ(micCapture.format.channelCount, 2u);
  SystemCapture system;
  ASSERT_TRUE(system.start());

  ASSERT_TRUE(
      waitUntil([&] { return system.recorder.count() > 48000 * 2 && micCapture.count() > 48000 * 2; }, 20s));
  const auto sys = system.recorder.since(system.recorder.count() - 48000);
  const auto mc = micCapture.since(micCapture.count() - 48000);
  EXPECT_GT(toneLevel(sys, 1000, 48000), 0.2);
  EXPECT_LT(toneLevel(sys, 600, 48000), 0.02);
  EXPECT_GT(toneLevel(mc, 600, 48000), 0.2);
  EXPECT_LT(toneLevel(mc, 1000, 48000), 0.02);
  EXPECT_EQ(micCapture.wrongSize, 0);
  EXPECT_EQ(micCapture.changes, 0);
  system.stop();
  EXPECT_EQ(system.recorder.wrongQueue, 0);
  EXPECT_EQ(system.recorder.problems, 0);
  EXPECT_EQ(system.recorder.stopCount(), 0);
}

// Waits of the backend's loop thread so far (its voluntary context
// switches); -1 when there is no such thread.
long loopWaits() {
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    std::ifstream comm(task.path() / "comm");
    std::string name;
    if (!std::getline(comm, name) || name != "zt-pulse") continue;
    std::ifstream status(task.path() / "status");
    for (std::string line; std::getline(status, line);)
      if (line.rfind("voluntary_ctxt_switches:", 0) == 0) return std::stol(line.substr(24));
  }
  return -1;
}

// A player at a low latency makes the sink, and so its monitor, send
// pieces of a few milliseconds; waking for each, and handing each over on
// its own, would cost a wakeup, a delivery and an event line per piece.
// The loop lets them gather for 40 ms between wakeups and each wakeup
// hands over what it brought (well over 960 frames on average), losing
// nothing by it.
TEST(PulseBackend, SmallPiecesAreGatheredAndWakeTheLoopSeldom) {
  PulseServer server(standardScript());
  ASSERT_TRUE(server.ready());
  Player speakers(server, "speakers", writeTone(server, "system", 1000), 5);
  SystemCapture system;
  ASSERT_TRUE(system.start());
  ASSERT_TRUE(waitUntil([&] { return system.recorder.count() > 48000; }, 20s));
  const long waitsBefore = loopWaits();
  std::this_thread::sleep_for(2s);
  const long waits = loopWaits() - waitsBefore;
  ASSERT_GE(waitsBefore, 0);
  // 25 a second at the spacing; waking per piece was over 200.
  EXPECT_LE(waits, 2 * 50) << "loop waits in 2 s";
  EXPECT_GE(system.recorder.averageFrames(), 960u);
  const auto sys = system.recorder.since(system.recorder.count() - 48000);
  EXPECT_GT(toneLevel(sys, 1000, 48000), 0.2);
  system.stop();
  EXPECT_EQ(system.recorder.problems, 0);
}

namespace {

// Where a tone, once playing, is first fully there.
size_t toneStart(const std::vector<float>& x) {
  for (size_t i = 0; i < x.size(); ++i)
    if (std::fabs(x[i]) > 0.4f) return i + 100;
  return x.size();
}

template <class T>
T largest(const std::vector<T>& v) {
  return v.empty() ? T{} : *std::max_element(v.begin(), v.end());
}

}  // namespace

// A stall leaves a backlog: of the conversion side (the output's queue
// holds the buffers), or of the backend's own thread (a stopped process,
// a loaded machine). Either way the backlog must come as a few large
// buffers, within the 16384-frame bound, and nothing of the tones may be
// missing or repeated.
TEST(PulseBackend, BacklogsArriveAsFewLargeBuffersAndWhole) {
  PulseServer server(standardScript());
  ASSERT_TRUE(server.ready());
  // Large player buffers: a loaded machine must not make the players skip.
  Player speakers(server, "speakers", writeTone(server, "system", 1000), 200);
  Player mic(server, "micsink", writeTone(server, "mic", 600), 200);
  MicCapture micCapture;
  ASSERT_TRUE(micCapture.start());
  SystemCapture system;
  ASSERT_TRUE(system.start());
  // An idle null sink hands its first block up to 2 s late.
  ASSERT_TRUE(waitUntil([&] { return system.recorder.count() > 48000 && micCapture.count() > 48000; }, 20s));

  size_t mark = system.recorder.bufferCount();
  dispatch_suspend(system.recorder.queue());
  std::this_thread::sleep_for(300ms);
  dispatch_resume(system.recorder.queue());
  std::this_thread::sleep_for(400ms);
  EXPECT_GE(largest(system.recorder.sizesSince(mark)), 12000) << "conversion stall";

  mark = system.recorder.bufferCount();
  const size_t micMark = micCapture.bufferCount();
  micCapture.stallOnce = true;
  std::this_thread::sleep_for(800ms);
  // PipeWire's server may hand part of a 300 ms backlog over only after it:
  // what matters is that it comes in large pieces, not in the 10-20 ms
  // buffers of steady state.
  EXPECT_GE(largest(system.recorder.sizesSince(mark)), 4800) << "engine thread stall";
  EXPECT_GE(largest(micCapture.sizesSince(micMark)), 4800u) << "engine thread stall";

  EXPECT_EQ(micCapture.wrongSize, 0);
  system.stop();
  micCapture.stop();
  const auto sys = system.recorder.since(0);
  const auto mc = micCapture.since(0);
  EXPECT_EQ(sineBreaks(sys, 1000, 48000, toneStart(sys)), std::vector<size_t>{});
  EXPECT_EQ(sineBreaks(mc, 600, 48000, toneStart(mc)), std::vector<size_t>{});
  EXPECT_EQ(system.recorder.problems, 0);
  EXPECT_LE(system.recorder.maxFrames, 16384);
}

TEST(PulseBackend, RecordingFollowsANewDefaultOutput) {
  PulseServer server(standardScript());
  ASSERT_TRUE(server.ready());
  Player speakers(server, "speakers", writeTone(server, "system", 1000));
  SystemCapture system;
  ASSERT_TRUE(system.start());
  ASSERT_TRUE(waitUntil([&] { return system.recorder.count() > 48000; }, 20s));
  EXPECT_GT(toneLevel(system.recorder.since(system.recorder.count() - 24000), 1000, 48000), 0.2);

  ASSERT_EQ(server.pactl("load-module module-null-sink sink_name=headphones rate=48000 channels=2"), 0);
  // PipeWire's session manager may still settle its own choice of default
  // just after a sink appears: ask until the server answers with ours.
  ASSERT_TRUE(waitUntil(
      [&] {
        std::string current;
        server.pactl("set-default-sink headphones");
        std::this_thread::sleep_for(100ms);
        return server.pactl("get-default-sink", &current) == 0 && current.find("headphones") == 0;
      },
      5s));
  // The server carries playing streams over to the new default too; a new
  // player on the old output stays there and must no longer be heard.
  PulseServer::stopPlayer(speakers.pid);
  speakers.pid = -1;
  Player oldOutput(server, "speakers", writeTone(server, "system2", 1000));
  Player headphones(server, "headphones", writeTone(server, "headphones", 1500));
  const size_t mark = system.recorder.count();
  std::this_thread::sleep_for(500ms);
  ASSERT_TRUE(waitUntil([&] { return system.recorder.count() > mark + 48000 * 2; }, 20s));
  const auto after = system.recorder.since(system.recorder.count() - 48000);
  EXPECT_GT(toneLevel(after, 1500, 48000), 0.2);
  EXPECT_LT(toneLevel(after, 1000, 48000), 0.02);
  EXPECT_EQ(system.recorder.stopCount(), 0);
}

TEST(PulseBackend, RemovedOutputMovesToTheNextAndStopsWhenNoneIsLeft) {
  ZT_SKIP_ON_PIPEWIRE();
  PulseServer server(sineMicScript(true));
  ASSERT_TRUE(server.ready());
  Player headphones(server, "headphones", writeTone(server, "headphones", 1500));
  SystemCapture system;
  ASSERT_TRUE(system.start());
  ASSERT_TRUE(waitUntil([&] { return system.recorder.count() > 48000; }, 20s));
  // Nothing plays on the speakers yet.
  EXPECT_LT(rms(system.recorder.since(system.recorder.count() - 24000)), 0.01);

  std::string modules;
  server.pactl("list short modules", &modules);
  auto moduleOf = [&](const std::string& sink) {
    const auto at = modules.find("sink_name=" + sink);
    const auto lineStart = modules.rfind('\n', at);
    return modules.substr(lineStart == std::string::npos ? 0 : lineStart + 1,
                          modules.find('\t', lineStart == std::string::npos ? 0 : lineStart + 1) -
                              (lineStart == std::string::npos ? 0 : lineStart + 1));
  };
  const std::string speakersModule = moduleOf("speakers");
  const std::string headphonesModule = moduleOf("headphones");
  ASSERT_EQ(server.pactl("unload-module " + speakersModule), 0);
  const size_t mark = system.recorder.count();
  ASSERT_TRUE(waitUntil([&] { return system.recorder.count() > mark + 48000 * 2; }, 20s));
  // Everything since the removal is the headphones' tone; none of it is the
  // 440 Hz microphone the server may have parked the stream on.
  const auto after = system.recorder.since(mark);
  EXPECT_LT(toneLevel(after, 440, 48000), 0.01);
  EXPECT_GT(toneLevel(system.recorder.since(system.recorder.count() - 48000), 1500, 48000), 0.2);
  EXPECT_EQ(system.recorder.stopCount(), 0);

  ASSERT_EQ(server.pactl("unload-module " + headphonesModule), 0);
  EXPECT_TRUE(waitUntil([&] { return system.recorder.stopCount() == 1; }, 10s));
  const size_t end = system.recorder.count();
  std::this_thread::sleep_for(500ms);
  EXPECT_EQ(system.recorder.count(), end);
  EXPECT_EQ(system.recorder.stopDomain, "PulseAudio");
  system.stop();
  EXPECT_EQ(system.recorder.stopCount(), 1);
}

TEST(PulseBackend, LostMicrophoneIsAConfigurationChange) {
  PulseServer server(standardScript());
  ASSERT_TRUE(server.ready());
  MicCapture mic;
  ASSERT_TRUE(mic.start());
  ASSERT_TRUE(waitUntil([&] { return mic.count() > 4800; }, 10s));
  EXPECT_EQ(mic.changes, 0);
  std::string modules;
  server.pactl("list short modules", &modules);
  const auto at = modules.find("module-remap-source");
  ASSERT_NE(at, std::string::npos);
  const auto lineStart = modules.rfind('\n', at) + 1;
  ASSERT_EQ(
      server.pactl("unload-module " + modules.substr(lineStart, modules.find('\t', lineStart) - lineStart)),
      0);
  EXPECT_TRUE(waitUntil([&] { return mic.changes > 0; }, 10s));
  mic.stop();
}

TEST(PulseBackend, NewDefaultSourceIsAConfigurationChangeAndRemovalSilencesIt) {
  ZT_SKIP_ON_PIPEWIRE();
  PulseServer server(standardScript());
  ASSERT_TRUE(server.ready());
  MicCapture mic;
  ASSERT_TRUE(mic.start());
  ASSERT_EQ(server.pactl("load-module module-sine-source source_name=othermic rate=48000"), 0);
  EXPECT_EQ(mic.changes, 0);
  ASSERT_EQ(server.pactl("set-default-source othermic"), 0);
  EXPECT_TRUE(waitUntil([&] { return mic.changes > 0; }, 10s));
  // After removal, no callback runs even though the source changes again.
  defaultPlatform().notificationCenter().removeObserver(mic.observer);
  const int seen = mic.changes;
  ASSERT_EQ(server.pactl("set-default-source virtualmic"), 0);
  ASSERT_EQ(server.pactl("set-default-source othermic"), 0);
  std::this_thread::sleep_for(500ms);
  EXPECT_EQ(mic.changes, seen);
}

TEST(PulseBackend, KilledServerStopsTheStreamAndChangesTheEngine) {
  PulseServer server(standardScript());
  ASSERT_TRUE(server.ready());
  // Connected in this order, the engine's connection is the first to
  // notice a lost server.
  SystemCapture system;
  ASSERT_TRUE(system.start());
  MicCapture mic;
  ASSERT_TRUE(mic.start());
  ASSERT_TRUE(waitUntil([&] { return system.recorder.count() > 4800 && mic.count() > 4800; }, 10s));
  // The stream reports first, whichever connection notices first: a lost
  // server reads as lost system audio.
  mic.before = [&] { return system.recorder.stopCount() == 1; };
  server.kill();
  EXPECT_TRUE(waitUntil([&] { return system.recorder.stopCount() == 1 && mic.changes > 0; }, 10s));
  EXPECT_EQ(mic.changesTooEarly, 0);
  // Stopping a stream the server already dropped still completes.
  system.stop();
  mic.stop();
}

TEST(PulseBackend, ServerComingBackIsFoundAgain) {
  {
    PulseServer gone(standardScript());
    ASSERT_TRUE(gone.ready());
    gone.kill();
    std::optional<Error> error;
    std::chrono::milliseconds took{};
    EXPECT_FALSE(shareable(&error, &took));
    EXPECT_TRUE(error);
  }
  PulseServer server(standardScript());
  ASSERT_TRUE(server.ready());
  EXPECT_TRUE(defaultPlatform().captureDevices().hasDefaultAudioDevice());
}
