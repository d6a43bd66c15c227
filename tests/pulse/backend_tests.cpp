// The PulseAudio backend on its own, driven as the session drives it,
// against a private server.
#include <dispatch/dispatch.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "platform/platform.h"
#include "pulse/pulse_server.h"

using namespace zt::platform;
using namespace zt::test::pulse;
using namespace std::chrono_literals;

namespace {

int gQueueKey;

// What a source handed over: the left channel and each buffer's frames.
struct Received {
  std::mutex mutex;
  std::vector<float> left;
  std::vector<int64_t> sizes;
  void add(const float* data, int64_t frames, uint32_t channels) {
    std::lock_guard lock(mutex);
    sizes.push_back(frames);
    for (int64_t i = 0; i < frames; ++i) left.push_back(data[i * channels]);
  }
  size_t count() {
    std::lock_guard lock(mutex);
    return left.size();
  }
  size_t buffers() {
    std::lock_guard lock(mutex);
    return sizes.size();
  }
  int64_t largestSince(size_t buffer) {
    std::lock_guard lock(mutex);
    return buffer < sizes.size() ? *std::max_element(sizes.begin() + long(buffer), sizes.end()) : 0;
  }
  std::vector<float> since(size_t from) {
    std::lock_guard lock(mutex);
    return from < left.size() ? std::vector<float>(left.begin() + long(from), left.end())
                              : std::vector<float>();
  }
};

// Stands in for the session: a system-audio stream's output and delegate,
// on a serial samples queue.
struct SystemCapture final : StreamOutput, StreamDelegate {
  dispatch_queue_t queue = dispatch_queue_create("test.samples", DISPATCH_QUEUE_SERIAL);
  std::shared_ptr<Stream> live;
  Stream* expected = nullptr;  // for the callbacks, which may run as `stream` goes
  Received got;
  std::atomic<int> problems{0}, stops{0};

  SystemCapture() { dispatch_queue_set_specific(queue, &gQueueKey, this, nullptr); }
  ~SystemCapture() {
    stop();
    dispatch_release(queue);
  }
  void stream(Stream* s, std::shared_ptr<SampleBuffer> buffer, int64_t type) override {
    const auto d = buffer->streamDescription();
    const int64_t frames = buffer->numSamples();
    std::vector<float> data(static_cast<size_t>(std::max<int64_t>(frames, 0)) * 2);
    AudioBufferList list;
    list.buffers.push_back(AudioBuffer{2, static_cast<uint32_t>(data.size() * sizeof(float)), data.data()});
    if (dispatch_get_specific(&gQueueKey) != this || type != kStreamOutputAudio || s != expected ||
        !buffer->dataIsReady() || !d || d->formatID != kFormatLinearPCM ||
        !(d->formatFlags & kFormatFlagIsFloat) || d->bitsPerChannel != 32 || d->channelsPerFrame != 2 ||
        d->sampleRate != 48000 || frames < 1 || frames > 16384 || buffer->copyPCMData(0, frames, list) != 0)
      ++problems;
    else
      got.add(data.data(), frames, 2);
  }
  void stream(Stream* s, const Error& error) override {
    if (s == expected) ++stops;
    EXPECT_EQ(error.domain, "PulseAudio");
  }
  bool start() {
    StreamConfiguration c;
    c.capturesAudio = c.excludesCurrentProcessAudio = true;
    c.sampleRate = 48000;
    c.channelCount = 2;
    live = defaultPlatform().screenCapture().makeStream(ContentFilter{}, c, this);
    expected = live.get();
    if (!live || live->addStreamOutput(this, kStreamOutputScreen, queue) ||
        !live->addStreamOutput(this, kStreamOutputAudio, queue))
      return false;
    std::atomic<int> outcome{0};
    live->startCapture([&](std::optional<Error> e) { outcome = e ? 2 : 1; });
    return waitUntil([&] { return outcome != 0; }, 10s) && outcome == 1;
  }
  void stop() {
    if (!live) return;
    std::atomic<bool> stopped{false};
    live->stopCapture([&](std::optional<Error>) { stopped = true; });
    EXPECT_TRUE(waitUntil([&] { return stopped.load(); }, 10s));
    live->removeStreamOutput(this, kStreamOutputAudio);
    live.reset();
  }
};

// A running microphone engine with a 1024-frame tap.
struct MicCapture {
  std::unique_ptr<AudioEngine> engine = defaultPlatform().makeAudioEngine();
  std::shared_ptr<NotificationObserver> observer;
  Received got;
  std::atomic<int> changes{0}, wrongSize{0}, changesTooEarly{0};
  std::atomic<bool> stallOnce{false};
  std::function<bool()> before;  // what must hold whenever the configuration changes

  bool start() {
    const AudioFormat format = engine->inputFormat();
    if (format.channelCount == 0) return false;
    engine->installTap(0, 1024, format, [this](const PCMBuffer& b) {
      if (b.frameLength() < 1024 || b.frameLength() > 16384) ++wrongSize;
      got.add(static_cast<const float*>(b.audioBufferList()->buffers[0].data), b.frameLength(),
              b.format().channelCount);
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
  ~MicCapture() {
    defaultPlatform().notificationCenter().removeObserver(observer);
    engine->stop();
    engine->removeTap(0);
  }
};

std::string toneFile(PulseServer& server, const std::string& name, double frequency) {
  writeRaw(server.dir() + "/" + name + ".raw", tone(frequency, 60, 48000));
  return server.dir() + "/" + name + ".raw";
}

// Breaks in a tone from where it is first fully there.
std::vector<size_t> toneBreaks(const std::vector<float>& x, double frequency) {
  const auto loud = std::find_if(x.begin(), x.end(), [](float v) { return std::fabs(v) > 0.4f; });
  return sineBreaks(x, frequency, 48000, static_cast<size_t>(loud - x.begin()) + 100);
}

// Whether the shareable content came (once, promptly), and with a display.
bool shareableAnswers(bool* hasDisplay) {
  std::atomic<int> calls{0};
  std::atomic<bool> content{false};
  defaultPlatform().screenCapture().getShareableContent(
      true, true, [&](std::optional<ShareableContent> c, std::optional<Error> e) {
        *hasDisplay = c && c->displays.size() == 1 && c->displays[0];
        EXPECT_EQ(!c, e.has_value());
        content = c.has_value();
        ++calls;
      });
  EXPECT_TRUE(waitUntil([&] { return calls > 0; }, 5s));
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(calls, 1);
  return content;
}

}  // namespace

// Queries answer promptly with or without a server, see a server that
// comes back, and never take an output's monitor for a microphone.
TEST(PulseBackend, QueriesFollowTheServer) {
  auto& devices = defaultPlatform().captureDevices();
  EXPECT_EQ(devices.audioAuthorizationStatus(), AuthorizationStatus::Authorized);
  EXPECT_TRUE(defaultPlatform().screenAccess().preflight());
  bool display = false;
  {
    PulseServer gone(standardScript());
    ASSERT_TRUE(gone.ready());
    gone.kill();
    EXPECT_FALSE(shareableAnswers(&display));
    // Unknown without a server; the display query names the failure.
    EXPECT_TRUE(devices.hasDefaultAudioDevice());
    EXPECT_EQ(defaultPlatform().makeAudioEngine()->inputFormat().channelCount, 0u);
  }
  PulseServer server(standardScript());
  ASSERT_TRUE(server.ready());
  EXPECT_TRUE(shareableAnswers(&display));
  EXPECT_TRUE(display);
  EXPECT_TRUE(devices.hasDefaultAudioDevice());
  ASSERT_EQ(server.pactl("set-default-source speakers.monitor"), 0);
  EXPECT_FALSE(devices.hasDefaultAudioDevice());
  EXPECT_EQ(defaultPlatform().makeAudioEngine()->inputFormat().channelCount, 0u);
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
  const pid_t player = server.play("speakers", toneFile(server, "system", 1000), 5);
  // Without shared memory (a TCP server, a container without /dev/shm)
  // libpulse reads the socket one message per pass.
  const std::string noSharedMemory = server.dir() + "/no-shm.conf";
  std::ofstream(noSharedMemory) << "enable-shm = no\nenable-memfd = no\n";
  for (const bool shared : {true, false}) {
    SCOPED_TRACE(shared ? "shared memory" : "socket only");
    if (!shared) setenv("PULSE_CLIENTCONFIG", noSharedMemory.c_str(), 1);
    SystemCapture system;
    ASSERT_TRUE(system.start());
    unsetenv("PULSE_CLIENTCONFIG");
    ASSERT_TRUE(waitUntil([&] { return system.got.count() > 48000; }, 20s));
    const long waitsBefore = loopWaits();
    const size_t framesBefore = system.got.count();
    std::this_thread::sleep_for(2s);
    const long waits = loopWaits() - waitsBefore;
    ASSERT_GE(waitsBefore, 0);
    // 25 a second at the spacing, for the recording and for the standby on
    // the other output's monitor; waking per piece was over 700.
    EXPECT_LE(waits, 2 * 2 * 50) << "loop waits in 2 s";
    EXPECT_GT(system.got.count() - framesBefore, 48000u * 2 * 9 / 10) << "read slower than the audio comes";
    EXPECT_GE(system.got.count() / system.got.buffers(), 960u);
    EXPECT_GT(toneLevel(system.got.since(system.got.count() - 48000), 1000, 48000), 0.2);
    system.stop();
    EXPECT_EQ(system.problems, 0);
  }
  PulseServer::stopPlayer(player);
}

// A stall leaves a backlog: of the conversion side (the output's queue
// holds the buffers), or of the backend's own thread (a stopped process,
// a loaded machine). Either way the backlog must come as a few large
// buffers, within the 16384-frame bound, and nothing may be missing or
// repeated; each source carries its own tone.
TEST(PulseBackend, BacklogsArriveAsFewLargeBuffersAndWhole) {
  PulseServer server(standardScript());
  ASSERT_TRUE(server.ready());
  // Large player buffers: a loaded machine must not make the players skip.
  const pid_t players[] = {server.play("speakers", toneFile(server, "system", 1000), 200),
                           server.play("micsink", toneFile(server, "mic", 600), 200)};
  MicCapture mic;
  ASSERT_TRUE(mic.start());
  SystemCapture system;
  ASSERT_TRUE(system.start());
  ASSERT_TRUE(waitUntil([&] { return system.got.count() > 48000 && mic.got.count() > 48000; }, 20s));

  size_t mark = system.got.buffers();
  dispatch_suspend(system.queue);
  std::this_thread::sleep_for(300ms);
  dispatch_resume(system.queue);
  std::this_thread::sleep_for(400ms);
  EXPECT_GE(system.got.largestSince(mark), 12000) << "conversion stall";

  mark = system.got.buffers();
  const size_t micMark = mic.got.buffers();
  mic.stallOnce = true;
  std::this_thread::sleep_for(800ms);
  // PipeWire's server may hand part of a 300 ms backlog over only after it:
  // what matters is large pieces, not the 10-20 ms buffers of steady state.
  EXPECT_GE(system.got.largestSince(mark), 4800) << "engine thread stall";
  EXPECT_GE(mic.got.largestSince(micMark), 4800) << "engine thread stall";
  system.stop();
  for (pid_t p : players) PulseServer::stopPlayer(p);
  const auto sys = system.got.since(0), mc = mic.got.since(0);
  EXPECT_EQ(toneBreaks(sys, 1000), std::vector<size_t>{});
  // On PipeWire the microphone here is a remap of a sink's monitor on which
  // the system audio keeps a standby; the server may shift the remap by a
  // sample as that standby connects or stalls with the loop, so only
  // PulseAudio can judge the microphone sample by sample.
  if (!onPipeWire()) EXPECT_EQ(toneBreaks(mc, 600), std::vector<size_t>{});
  EXPECT_LT(toneLevel(sys, 600, 48000), 0.02);
  EXPECT_LT(toneLevel(mc, 1000, 48000), 0.02);
  EXPECT_EQ(system.problems, 0);
  EXPECT_EQ(system.stops, 0);
  EXPECT_EQ(mic.wrongSize, 0);
  EXPECT_EQ(mic.changes, 0);
}

TEST(PulseBackend, RemovedOutputMovesToTheNextAndStopsWhenNoneIsLeft) {
  ZT_SKIP_ON_PIPEWIRE();
  PulseServer server(sineMicScript(true));
  ASSERT_TRUE(server.ready());
  const pid_t player = server.play("headphones", toneFile(server, "headphones", 1500));
  SystemCapture system;
  ASSERT_TRUE(system.start());
  ASSERT_TRUE(waitUntil([&] { return system.got.count() > 48000; }, 20s));
  EXPECT_LT(rms(system.got.since(system.got.count() - 24000)), 0.01);  // nothing on the speakers
  const std::string headphones = server.moduleOf("sink_name=headphones");
  ASSERT_EQ(server.pactl("unload-module " + server.moduleOf("sink_name=speakers")), 0);
  const size_t mark = system.got.count();
  ASSERT_TRUE(waitUntil([&] { return system.got.count() > mark + 48000 * 2; }, 20s));
  // Everything since the removal is the headphones' tone; none of it is the
  // 440 Hz microphone the server may have parked the stream on.
  EXPECT_LT(toneLevel(system.got.since(mark), 440, 48000), 0.01);
  EXPECT_GT(toneLevel(system.got.since(system.got.count() - 48000), 1500, 48000), 0.2);
  EXPECT_EQ(system.stops, 0);

  ASSERT_EQ(server.pactl("unload-module " + headphones), 0);
  EXPECT_TRUE(waitUntil([&] { return system.stops == 1; }, 10s));
  const size_t end = system.got.count();
  std::this_thread::sleep_for(500ms);
  EXPECT_EQ(system.got.count(), end);
  system.stop();
  EXPECT_EQ(system.stops, 1);
  PulseServer::stopPlayer(player);
}

TEST(PulseBackend, KilledServerStopsTheStreamBeforeChangingTheEngine) {
  PulseServer server(standardScript());
  ASSERT_TRUE(server.ready());
  // Connected in this order, the engine's connection is the first to
  // notice a lost server; the stream must still report first, so that a
  // lost server reads as lost system audio.
  SystemCapture system;
  ASSERT_TRUE(system.start());
  MicCapture mic;
  ASSERT_TRUE(mic.start());
  ASSERT_TRUE(waitUntil([&] { return system.got.count() > 4800 && mic.got.count() > 4800; }, 10s));
  mic.before = [&] { return system.stops == 1; };
  server.kill();
  EXPECT_TRUE(waitUntil([&] { return system.stops == 1 && mic.changes > 0; }, 10s));
  EXPECT_EQ(mic.changesTooEarly, 0);
}
