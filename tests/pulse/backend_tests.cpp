// The PulseAudio backend on its own, driven as the session drives it.
#include <dispatch/dispatch.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
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

// What a source handed over: the left channel, how many buffers, and the
// largest since the test last set `largest` to 0.
struct Received {
  std::mutex mutex;
  std::vector<float> left;
  std::atomic<size_t> buffers{0};
  std::atomic<int64_t> largest{0};
  void add(const float* data, int64_t frames, uint32_t channels) {
    std::lock_guard lock(mutex);
    ++buffers;
    if (frames > largest) largest = frames;
    for (int64_t i = 0; i < frames; ++i) left.push_back(data[i * channels]);
  }
  size_t count() {
    std::lock_guard lock(mutex);
    return left.size();
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
  std::atomic<bool> hold{false};  // like a conversion queue that fell behind: keeps the next buffer
  std::atomic<std::shared_ptr<SampleBuffer>> held;

  SystemCapture() { dispatch_queue_set_specific(queue, &gQueueKey, this, nullptr); }
  ~SystemCapture() {
    stop();
    EXPECT_EQ(problems, 0);
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
    if (hold.exchange(false)) held.store(std::move(buffer));
  }
  void stream(Stream* s, const Error& error) override {
    if (s == expected) ++stops;
    EXPECT_EQ(error.domain, "PulseAudio");
  }
  bool start() {
    const StreamConfiguration c{
        .capturesAudio = true, .excludesCurrentProcessAudio = true, .sampleRate = 48000, .channelCount = 2};
    live = defaultPlatform().screenCapture().makeStream(ContentFilter{}, c, this);
    expected = live.get();
    if (!live || live->addStreamOutput(this, kStreamOutputScreen, queue) ||
        !live->addStreamOutput(this, kStreamOutputAudio, queue))
      return false;
    return !waitForAnswer<std::optional<Error>>([&](auto done) { live->startCapture(done); });
  }
  void stop() {
    if (!live) return;
    waitForAnswer<std::optional<Error>>([&](auto done) { live->stopCapture(done); });
    live->removeStreamOutput(this, kStreamOutputAudio);
    live.reset();
  }
};

// A running microphone engine with a 1024-frame tap.
struct MicCapture {
  std::unique_ptr<AudioEngine> engine = defaultPlatform().makeAudioEngine();
  std::shared_ptr<NotificationObserver> observer;
  Received got;
  std::atomic<int> changes{0}, wrongSize{0};
  std::atomic<bool> stallOnce{false};

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
    observer = defaultPlatform().notificationCenter().addEngineConfigurationObserver(engine.get(),
                                                                                     [this] { ++changes; });
    engine->prepare();
    return engine->start();
  }
  ~MicCapture() {
    defaultPlatform().notificationCenter().removeObserver(observer);
    engine->stop();
    engine->removeTap(0);
  }
};

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
  PulseServer server;
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
    EXPECT_GE(system.got.count() / system.got.buffers, 960u);
    // The tone in some 100 ms of the last second: a 5 ms player on a loaded machine skips at times.
    const auto last = system.got.since(system.got.count() - 48000);
    double level = 0;
    for (size_t at = 0; at + 4800 <= last.size(); at += 4800)
      level = std::max(level, toneLevel({last.begin() + at, last.begin() + at + 4800}, 1000, 48000));
    EXPECT_GT(level, 0.2);
  }
  PulseServer::stopPlayer(player);
}

// A stall of the conversion side or of the backend's own thread leaves a
// backlog that must come as a few large buffers, whole.
TEST(PulseBackend, BacklogsArriveAsFewLargeBuffersAndWhole) {
  PulseServer server;
  ASSERT_TRUE(server.ready());
  // Large player buffers: a loaded machine must not make the players skip.
  const pid_t players[] = {server.play("speakers", tone(1000, 60, 48000), 200),
                           server.play("micsink", tone(600, 60, 48000), 200)};
  MicCapture mic;
  ASSERT_TRUE(mic.start());
  SystemCapture system;
  ASSERT_TRUE(system.start());
  ASSERT_TRUE(waitUntil([&] { return system.got.count() > 48000 && mic.got.count() > 48000; }, 20s));
  system.got.largest = 0;
  system.hold = true;
  std::this_thread::sleep_for(300ms);
  ASSERT_TRUE(system.held.exchange(nullptr)) << "nothing came while held";
  std::this_thread::sleep_for(400ms);
  EXPECT_GE(system.got.largest, 12000) << "conversion stall";
  system.got.largest = mic.got.largest = 0;
  mic.stallOnce = true;
  std::this_thread::sleep_for(800ms);
  // PipeWire may hand part of the backlog over only after it: large pieces.
  for (Received* r : {&system.got, &mic.got})
    EXPECT_GE(r->largest, 4800) << (r == &mic.got ? "mic" : "system");
  const auto sys = system.got.since(0), mc = mic.got.since(0);
  EXPECT_EQ(toneBreaks(sys, 1000, 48000, 100), std::vector<size_t>{});
  // PipeWire may shift its remapped monitor by a sample as the standby on it connects.
  if (!onPipeWire()) EXPECT_EQ(toneBreaks(mc, 600, 48000, 100), std::vector<size_t>{});
  EXPECT_LT(toneLevel(sys, 600, 48000), 0.02);
  EXPECT_LT(toneLevel(mc, 1000, 48000), 0.02);
  EXPECT_EQ(system.stops, 0);
  EXPECT_EQ(mic.wrongSize, 0);
  EXPECT_EQ(mic.changes, 0);
  for (pid_t p : players) PulseServer::stopPlayer(p);
}

// A stopped server: every question still gets its answer, within its bound.
TEST(PulseBackend, FrozenServerStillAnswersWithinBounds) {
  PulseServer server;
  ASSERT_TRUE(server.ready());
  auto engine = defaultPlatform().makeAudioEngine();
  // `ask`'s answer with the server stopped, which must take from `least` to `most`.
  const auto frozen = [&](const auto& ask, auto least, auto most) {
    signalServer(server, SIGSTOP);
    const auto begin = std::chrono::steady_clock::now();
    const auto answer = ask();
    const auto took = std::chrono::steady_clock::now() - begin;
    signalServer(server, SIGCONT);
    EXPECT_GT(took, least);
    EXPECT_LT(took, most);
    return answer;
  };
  // Unknown without an answer: the display query then names the server.
  EXPECT_TRUE(
      frozen([] { return defaultPlatform().captureDevices().hasDefaultAudioDevice(); }, 1500ms, 3500ms));
  const AudioFormat format = frozen([&] { return engine->inputFormat(); }, 0ms, 3500ms);
  EXPECT_EQ(format.channelCount, 0u);
  EXPECT_EQ(format.sampleRate, 0);
  // Stopped between the question and the start.
  engine = defaultPlatform().makeAudioEngine();
  const AudioFormat live = engine->inputFormat();
  ASSERT_GT(live.channelCount, 0u);
  engine->installTap(0, 1024, live, [](const PCMBuffer&) {});
  EXPECT_FALSE(frozen([&] { return engine->start(); }, 2500ms, 4500ms));
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
  // The next block, each frame holding its index; answers when it was played.
  const auto next = [&] {
    for (size_t i = 0; i < kBlock; ++i) block[2 * i] = block[2 * i + 1] = static_cast<float>(frames + i);
    frames += kBlock;
    return start + static_cast<int64_t>(frames * 1000000 / 48000);
  };
  for (int k = 0; k < 40; ++k) {
    const int64_t played = next();
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
    timeline.append(block.data(), kBlock, next() + 10000);
    timeline.dropBefore(frames - 2 * kBlock);
    timeline.copy(frames - 2 * kBlock, 2 * kBlock, held.data());
    for (size_t i = 0; i < 2 * kBlock; ++i)
      ASSERT_EQ(held[2 * i + 1], static_cast<float>(frames - 2 * kBlock + i)) << k << " " << i;
    ASSERT_EQ(timeline.frame(frames - kBlock - 1)[0], static_cast<float>(frames - kBlock - 1)) << k;
  }
}
