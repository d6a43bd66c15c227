// The PulseAudio backend on its own, driven as the session drives it.
#include <dispatch/dispatch.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <thread>

#include "platform/platform.h"
#include "platform/pulse/monitor_timeline.h"
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
    return std::vector<float>(left.begin() + long(std::min(from, left.size())), left.end());
  }
};

// Stands in for the session: a system stream's output and delegate.
struct SystemCapture final : StreamOutput, StreamDelegate {
  dispatch_queue_t queue = dispatch_queue_create("test.samples", DISPATCH_QUEUE_SERIAL);
  std::shared_ptr<Stream> live;
  Stream* expected = nullptr;  // for the callbacks, which may run as `live` goes
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
    if (dispatch_get_specific(&gQueueKey) != this || type != kStreamOutputAudio || s != expected || !d ||
        !(d->formatFlags & kFormatFlagIsFloat) || d->channelsPerFrame != 2 || frames < 1 || frames > 16384 ||
        buffer->copyPCMData(0, frames, list) != 0)
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
      // The engine's only thread: this stalls all its reading, as a stop would.
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

// A completion-style answer, and how long it took; none within 10 s.
template <class T, class Ask>
std::optional<T> timedAnswer(const Ask& ask, std::chrono::steady_clock::duration* took) {
  auto answer = std::make_shared<std::promise<T>>();
  auto future = answer->get_future();
  const auto begin = std::chrono::steady_clock::now();
  ask([answer](T value) { answer->set_value(value); });
  if (future.wait_for(10s) != std::future_status::ready) return std::nullopt;
  *took = std::chrono::steady_clock::now() - begin;
  return future.get();
}

// Stops, or lets go on, every process of the server.
void signalServer(PulseServer& server, int sig) {
  std::ifstream pids(server.dir() + "/pids");
  for (pid_t pid; pids >> pid;) kill(pid, sig);
}

// The backend loop thread's voluntary context switches; -1 without one.
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

}  // namespace

// A low-latency player makes the monitor send pieces of a few ms: they
// must gather between wakeups (a wakeup and an event line each otherwise).
TEST(PulseBackend, SmallPiecesAreGatheredAndWakeTheLoopSeldom) {
  PulseServer server(standardScript());
  ASSERT_TRUE(server.ready());
  const pid_t player = server.play("speakers", tone(1000, 60, 48000), 5);
  // Without shared memory libpulse reads the socket one message per pass.
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
    ASSERT_GE(waitsBefore, 0);
    // 25 a second each for the recording and the standby; per piece: 700.
    EXPECT_LE(loopWaits() - waitsBefore, 2 * 2 * 50) << "loop waits in 2 s";
    EXPECT_GT(system.got.count() - framesBefore, 48000u * 2 * 9 / 10) << "read slower than the audio comes";
    EXPECT_GE(system.got.count() / system.got.buffers(), 960u);
    // The tone in some 100 ms of the last second: a 5 ms player on a loaded machine skips at times.
    const auto last = system.got.since(system.got.count() - 48000);
    double level = 0;
    for (size_t at = 0; at + 4800 <= last.size(); at += 4800)
      level = std::max(
          level, toneLevel(std::vector<float>(last.begin() + at, last.begin() + at + 4800), 1000, 48000));
    EXPECT_GT(level, 0.2);
    system.stop();
    EXPECT_EQ(system.problems, 0);
  }
  PulseServer::stopPlayer(player);
}

// A stall of the conversion side or of the backend's own thread leaves a
// backlog that must come as a few large buffers, whole.
TEST(PulseBackend, BacklogsArriveAsFewLargeBuffersAndWhole) {
  PulseServer server(standardScript());
  ASSERT_TRUE(server.ready());
  // Large player buffers: a loaded machine must not make the players skip.
  const pid_t players[] = {server.play("speakers", tone(1000, 60, 48000), 200),
                           server.play("micsink", tone(600, 60, 48000), 200)};
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
  // PipeWire may hand part of the backlog over only after it: large pieces.
  EXPECT_GE(system.got.largestSince(mark), 4800) << "engine thread stall";
  EXPECT_GE(mic.got.largestSince(micMark), 4800) << "engine thread stall";
  system.stop();
  for (pid_t p : players) PulseServer::stopPlayer(p);
  const auto sys = system.got.since(0), mc = mic.got.since(0);
  EXPECT_EQ(toneBreaks(sys, 1000, 48000, 100), std::vector<size_t>{});
  // PipeWire may shift its remapped monitor by a sample as the standby on it connects.
  if (!onPipeWire()) EXPECT_EQ(toneBreaks(mc, 600, 48000, 100), std::vector<size_t>{});
  EXPECT_LT(toneLevel(sys, 600, 48000), 0.02);
  EXPECT_LT(toneLevel(mc, 1000, 48000), 0.02);
  EXPECT_EQ(system.problems, 0);
  EXPECT_EQ(system.stops, 0);
  EXPECT_EQ(mic.wrongSize, 0);
  EXPECT_EQ(mic.changes, 0);
}

TEST(PulseBackend, KilledServerStopsTheStreamBeforeChangingTheEngine) {
  PulseServer server(standardScript());
  ASSERT_TRUE(server.ready());
  // The engine, connected last, notices first; the stream must still
  // report first, so that a lost server reads as lost system audio.
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

// A stopped server: every question still gets its answer, within its bound.
TEST(PulseBackend, FrozenServerStillAnswersWithinBounds) {
  PulseServer server(standardScript());
  ASSERT_TRUE(server.ready());
  std::chrono::steady_clock::duration took{};
  auto engine = defaultPlatform().makeAudioEngine();
  const auto format = [&] {
    return timedAnswer<AudioFormat>(
        [&](auto done) { engine->inputFormat(AudioEngine::FormatCompletion(done)); }, &took);
  };
  signalServer(server, SIGSTOP);
  // Unknown without an answer: the display query then names the server.
  const auto present = timedAnswer<bool>(
      [](auto done) { defaultPlatform().captureDevices().hasDefaultAudioDevice(done); }, &took);
  EXPECT_EQ(present, std::optional<bool>(true));
  EXPECT_GT(took, 1500ms);
  EXPECT_LT(took, 3500ms);
  const auto frozenFormat = format();
  EXPECT_LT(took, 3500ms);
  signalServer(server, SIGCONT);
  ASSERT_TRUE(frozenFormat);
  EXPECT_EQ(frozenFormat->channelCount, 0u);
  EXPECT_EQ(frozenFormat->sampleRate, 0);
  // Stopped between the question and the start.
  engine = defaultPlatform().makeAudioEngine();
  const auto live = format();
  ASSERT_TRUE(live && live->channelCount > 0);
  engine->installTap(0, 1024, *live, [](const PCMBuffer&) {});
  signalServer(server, SIGSTOP);
  const auto started =
      timedAnswer<bool>([&](auto done) { engine->start(AudioEngine::StartCompletion(done)); }, &took);
  signalServer(server, SIGCONT);
  EXPECT_EQ(started, std::optional<bool>(false));
  EXPECT_GT(took, 2500ms);
  EXPECT_LT(took, 4500ms);
  engine->stop();
  engine->removeTap(0);
}

// Reads of 30 ms blocks arriving 10 ms after they were played plus up to
// 25 ms more: frames are placed by the soonest reads, a hole is silence.
TEST(MonitorTimeline, PlacesFramesByTheSoonestReads) {
  constexpr size_t kBlock = 1440;
  const int64_t start = 5000000;
  pulse::MonitorTimeline timeline(48000, 2);
  std::vector<float> block(kBlock * 2);
  uint64_t frames = 0;
  for (int k = 0; k < 40; ++k) {
    for (size_t i = 0; i < kBlock; ++i) block[2 * i] = block[2 * i + 1] = static_cast<float>(frames + i);
    frames += kBlock;
    const int64_t played = start + static_cast<int64_t>(frames * 1000000 / 48000);
    timeline.append(k % 7 == 3 ? nullptr : block.data(), kBlock, played + 10000 + (k * 7919) % 25000);
    EXPECT_EQ(timeline.timed(), k >= 5) << k;
  }
  for (const uint64_t f : {0ull, 30000ull, 57599ull})
    EXPECT_NEAR(timeline.frameAt(start + 10000 + static_cast<int64_t>(f * 1000000 / 48000)), f, 1) << f;
  EXPECT_NEAR(timeline.timeOf(48000), start + 10000 + 1000000, 21);
  timeline.dropBefore(frames - 3 * kBlock);
  EXPECT_EQ(timeline.begin(), frames - 3 * kBlock);
  const uint64_t hole = 38 * kBlock;  // block 38 (k % 7 == 3)
  float two[4];
  timeline.copy(hole - 1, 2, two);
  EXPECT_EQ(two[1], static_cast<float>(hole - 1));
  EXPECT_EQ(two[2], 0.0f);
  // Running on well past the room it first took, the last blocks stay whole.
  std::vector<float> held(2 * kBlock * 2);
  for (int k = 0; k < 60; ++k) {
    for (size_t i = 0; i < kBlock; ++i) block[2 * i] = block[2 * i + 1] = static_cast<float>(frames + i);
    frames += kBlock;
    timeline.append(block.data(), kBlock, start + static_cast<int64_t>(frames * 1000000 / 48000) + 10000);
    timeline.dropBefore(frames - 2 * kBlock);
    timeline.copy(frames - 2 * kBlock, 2 * kBlock, held.data());
    for (size_t i = 0; i < 2 * kBlock; ++i)
      ASSERT_EQ(held[2 * i + 1], static_cast<float>(frames - 2 * kBlock + i)) << k << " " << i;
    ASSERT_EQ(timeline.frame(frames - kBlock - 1)[0], static_cast<float>(frames - kBlock - 1)) << k;
  }
}
