#include "platform/sim/sim_platform.h"

#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include "base/dispatch.h"
#include "platform/soxr/soxr_converter.h"

namespace zt::sim {

using platform::AudioFormat;
using platform::SampleType;

// ---------------------------------------------------------------------------
// Signals.

namespace {

void storeSample(std::byte* at, SampleType type, double value) {
  switch (type) {
    case SampleType::Float32: {
      const float v = static_cast<float>(value);
      std::memcpy(at, &v, sizeof v);
      break;
    }
    case SampleType::Float64:
      std::memcpy(at, &value, sizeof value);
      break;
    case SampleType::Int16: {
      const auto v = static_cast<int16_t>(std::lround(value * 32767.0));
      std::memcpy(at, &v, sizeof v);
      break;
    }
    case SampleType::Int32: {
      const auto v = static_cast<int32_t>(std::llround(value * 2147483647.0));
      std::memcpy(at, &v, sizeof v);
      break;
    }
  }
}

}  // namespace

std::vector<std::vector<std::byte>> sineBuffers(const AudioFormat& format, uint32_t frames,
                                                double startSeconds, double frequency, double amplitude) {
  const size_t sampleBytes = platform::bytesPerSample(format.sampleType);
  const uint32_t bufferCount = format.bufferCount();
  const uint32_t perBufferChannels = format.interleaved ? format.channelCount : 1;
  std::vector<std::vector<std::byte>> buffers(
      bufferCount, std::vector<std::byte>(frames * sampleBytes * perBufferChannels));
  for (uint32_t i = 0; i < frames; ++i) {
    const double t = startSeconds + i / format.sampleRate;
    const double value = amplitude * std::sin(2 * M_PI * frequency * t);
    for (uint32_t b = 0; b < bufferCount; ++b)
      for (uint32_t c = 0; c < perBufferChannels; ++c)
        storeSample(buffers[b].data() + (i * perBufferChannels + c) * sampleBytes, format.sampleType, value);
  }
  return buffers;
}

std::shared_ptr<SimSampleBuffer> sineSampleBuffer(const AudioFormat& format, uint32_t frames,
                                                  double startSeconds, double frequency, double amplitude) {
  return std::make_shared<SimSampleBuffer>(format.streamDescription(), frames,
                                           sineBuffers(format, frames, startSeconds, frequency, amplitude));
}

int32_t SimSampleBuffer::copyPCMData(int64_t offset, int64_t frames, platform::AudioBufferList& into) const {
  if (!description_ || offset != 0 || frames != frames_ || into.numberBuffers() != buffers_.size())
    return -12731;
  for (size_t i = 0; i < buffers_.size(); ++i) {
    if (into.buffers[i].dataByteSize < buffers_[i].size() || !into.buffers[i].data) return -12731;
    std::memcpy(into.buffers[i].data, buffers_[i].data(), buffers_[i].size());
  }
  return 0;
}

// ---------------------------------------------------------------------------
// Pacing: produces a script's buffers on a serial queue, at real time times
// the script's speed, until stopped.

namespace {

using Deliver = std::function<void(const AudioFormat& format, uint32_t frames,
                                   std::vector<std::vector<std::byte>> buffers)>;

struct PacerState {
  // Retained: a pending step may outlive the object that made the queue.
  ~PacerState() {
    if (queue) dispatch_release(queue);
  }
  dispatch_queue_t queue = nullptr;
  AudioScript script;
  AudioFormat defaultFormat;
  Deliver deliver;
  std::atomic<bool> stopped{false};
  int64_t produced = 0;
  double signalSeconds = 0;  // position of the next buffer in the signal
  std::chrono::steady_clock::time_point start;
  // The last buffer made, reused while the tone comes round to the same
  // phase, so that pacing long runs costs little besides a copy.
  AudioFormat cachedFormat;
  uint32_t cachedFrames = 0;
  double cachedPhase = -1;
  std::vector<std::vector<std::byte>> cached;
};

std::vector<std::vector<std::byte>> nextBuffers(PacerState& state, const AudioFormat& format,
                                                uint32_t frames) {
  const AudioScript& script = state.script;
  const double phase = std::fmod(script.frequency * state.signalSeconds, 1.0);
  const double drift = std::fabs(phase - state.cachedPhase);
  if (state.cachedFrames == frames && state.cachedFormat == format && std::min(drift, 1 - drift) < 1e-7)
    return state.cached;
  state.cached = sineBuffers(format, frames, state.signalSeconds, script.frequency, script.amplitude);
  state.cachedFormat = format;
  state.cachedFrames = frames;
  state.cachedPhase = phase;
  return state.cached;
}

void pacerStep(const std::shared_ptr<PacerState>& state) {
  if (state->stopped.load()) return;
  const AudioScript& script = state->script;
  if (script.bufferCount >= 0 && state->produced >= script.bufferCount) return;
  AudioFormat format = state->defaultFormat;
  if (!script.formats.empty()) {
    size_t index = 0;
    if (script.buffersPerFormat > 0)
      index = (state->produced / script.buffersPerFormat) % script.formats.size();
    format = script.formats[index];
  }
  const uint32_t frames = script.frames[state->produced % script.frames.size()];
  state->deliver(format, frames, nextBuffers(*state, format, frames));
  state->produced++;
  state->signalSeconds += frames / format.sampleRate;
  const auto due = state->start + std::chrono::duration<double>(state->signalSeconds / script.speed);
  const auto wait =
      std::chrono::duration_cast<std::chrono::nanoseconds>(due - std::chrono::steady_clock::now());
  asyncAfter(state->queue, std::max<int64_t>(0, wait.count()), [state] { pacerStep(state); });
}

// Marks a pacer's queue, so that a stop on that very queue (the last owner
// let go inside a delivery) does not wait for itself.
char kPacerQueueKey;

class Pacer {
 public:
  Pacer(dispatch_queue_t queue, AudioScript script, AudioFormat defaultFormat, Deliver deliver)
      : state_(std::make_shared<PacerState>()) {
    dispatch_queue_set_specific(queue, &kPacerQueueKey, state_.get(), nullptr);
    dispatch_retain(queue);
    state_->queue = queue;
    state_->script = std::move(script);
    state_->defaultFormat = defaultFormat;
    state_->deliver = std::move(deliver);
  }
  ~Pacer() { stop(); }

  void start() {
    state_->start = std::chrono::steady_clock::now();
    auto state = state_;
    async(state_->queue, [state] { pacerStep(state); });
  }
  // After this returns no delivery is running or will run.
  void stop() {
    state_->stopped.store(true);
    if (dispatch_get_specific(&kPacerQueueKey) != state_.get()) sync(state_->queue, [] {});
  }

 private:
  std::shared_ptr<PacerState> state_;
};

}  // namespace

// ---------------------------------------------------------------------------

struct SimPlatform::Impl {
  SimPlatform* owner;
  Scenario scenario;
  std::mutex mutex;
  size_t microphoneStatusCalls = 0;
  size_t preflightCalls = 0;
  size_t enginesMade = 0;
  size_t streamsMade = 0;
  std::vector<std::function<void()>> unanswered;  // completions scripted to never run
  std::weak_ptr<platform::Stream> lastStream;
  dispatch_queue_t completions = dispatch_queue_create("sim.completions", DISPATCH_QUEUE_SERIAL);
  int64_t converterCalls = 0;

  // Runs `answer` after the answer's delay, or keeps it forever.
  void answerLater(const Answer& answer, std::function<void()> fn) {
    if (answer.kind == Answer::Kind::Never) {
      std::lock_guard lock(mutex);
      unanswered.push_back(std::move(fn));
      return;
    }
    asyncAfter(completions, int64_t{answer.delayMs} * 1'000'000, std::move(fn));
  }

  struct Devices : platform::CaptureDevices {
    Impl* impl;
    platform::AuthorizationStatus audioAuthorizationStatus() override {
      std::lock_guard lock(impl->mutex);
      return static_cast<platform::AuthorizationStatus>(
          impl->scenario.microphoneStatus.at(impl->microphoneStatusCalls++));
    }
    void requestAudioAccess(std::function<void(bool)> completion) override {
      const Answer answer = impl->scenario.microphoneRequest;
      impl->answerLater(answer, [completion, answer] { completion(answer.kind == Answer::Kind::Ok); });
    }
    using platform::CaptureDevices::hasDefaultAudioDevice;
    void hasDefaultAudioDevice(std::function<void(bool)> completion) override {
      const Answer answer = impl->scenario.microphoneQuery;
      const bool present = impl->scenario.microphonePresent && answer.kind == Answer::Kind::Ok;
      impl->answerLater(answer, [completion, present] { completion(present); });
    }
  } devices;

  struct Access : platform::ScreenAccess {
    Impl* impl;
    bool preflight() override {
      std::lock_guard lock(impl->mutex);
      return impl->scenario.screenPreflight.at(impl->preflightCalls++);
    }
    bool request() override {
      const int delay = impl->scenario.screenRequestDelayMs;
      if (delay < 0) {
        // The prompt never closes; the permission queue stays blocked.
        for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(delay));
      return impl->scenario.screenRequest;
    }
  } access;

  struct Notifications : platform::NotificationCenter {
    struct Observer : platform::NotificationObserver {
      platform::AudioEngine* engine;
      std::function<void()> callback;
    };
    std::mutex mutex;
    std::vector<std::shared_ptr<Observer>> observers;

    std::shared_ptr<platform::NotificationObserver> addEngineConfigurationObserver(
        platform::AudioEngine* engine, std::function<void()> callback) override {
      auto observer = std::make_shared<Observer>();
      observer->engine = engine;
      observer->callback = std::move(callback);
      std::lock_guard lock(mutex);
      observers.push_back(observer);
      return observer;
    }
    void removeObserver(const std::shared_ptr<platform::NotificationObserver>& observer) override {
      std::lock_guard lock(mutex);
      std::erase_if(observers, [&](const auto& o) { return o == observer; });
    }
    // Callbacks run under the lock, so that removal waits for a running one.
    void post(platform::AudioEngine* engine) {
      std::lock_guard lock(mutex);
      for (auto& o : observers)
        if (!engine || o->engine == engine) o->callback();
    }
  } notifications;

  struct Capture : platform::ScreenCapture {
    Impl* impl;
    void getShareableContent(bool, bool, platform::ShareableContentCompletion completion) override {
      const Answer answer = impl->scenario.content;
      const int count = impl->scenario.displayCount;
      impl->answerLater(answer, [completion, answer, count] {
        if (answer.kind == Answer::Kind::Error) {
          completion(std::nullopt, answer.error);
          return;
        }
        platform::ShareableContent content;
        for (int i = 0; i < count; ++i)
          content.displays.push_back(std::make_shared<platform::Display>(
              platform::Display{uint32_t(i + 1), "Display " + std::to_string(i + 1)}));
        completion(content, std::nullopt);
      });
    }
    std::shared_ptr<platform::Stream> makeStream(const platform::ContentFilter& filter,
                                                 const platform::StreamConfiguration& configuration,
                                                 platform::StreamDelegate* delegate) override;
  } capture;

  Impl(SimPlatform* o, Scenario s) : owner(o), scenario(std::move(s)) {
    devices.impl = this;
    access.impl = this;
    capture.impl = this;
  }
};

// ---------------------------------------------------------------------------

namespace {

class SimStream : public platform::Stream, public std::enable_shared_from_this<SimStream> {
 public:
  SimStream(SimPlatform::Impl* impl, StreamScript script, platform::StreamDelegate* delegate,
            const platform::StreamConfiguration& configuration, std::atomic<int>* live)
      : impl_(impl), script_(std::move(script)), delegate_(delegate), live_(live) {
    live_->fetch_add(1);
    queue_ = dispatch_queue_create("sim.stream", DISPATCH_QUEUE_SERIAL);
    format_ = AudioFormat{SampleType::Float32, double(configuration.sampleRate),
                          uint32_t(configuration.channelCount), true};
  }
  ~SimStream() override {
    if (pacer_) pacer_->stop();
    dispatch_release(queue_);
    live_->fetch_sub(1);
  }

  bool addStreamOutput(platform::StreamOutput* output, int64_t type, dispatch_queue_t queue) override {
    if (script_.addOutputFails) return false;
    std::lock_guard lock(mutex_);
    output_ = output;
    outputQueue_ = queue;
    outputType_ = type;
    return true;
  }
  void removeStreamOutput(platform::StreamOutput* output, int64_t) override {
    std::lock_guard lock(mutex_);
    if (output_ == output) output_ = nullptr;
  }

  void startCapture(platform::StreamCompletion completion) override {
    std::weak_ptr<SimStream> weak = shared_from_this();
    const Answer answer = script_.start;
    // Counted from the start request: a stream may stop before its start
    // has been answered.
    if (script_.stopsByItselfAfterMs >= 0) {
      asyncAfter(impl_->completions, int64_t{script_.stopsByItselfAfterMs} * 1'000'000, [weak] {
        if (auto self = weak.lock()) {
          if (self->pacer_) self->pacer_->stop();
          self->delegate_->stream(self.get(), platform::Error{"SimulatedErrorDomain", -1});
        }
      });
    }
    impl_->answerLater(answer, [weak, completion, answer] {
      if (auto self = weak.lock()) {
        if (answer.kind == Answer::Kind::Ok) self->begin();
      }
      completion(answer.kind == Answer::Kind::Error ? std::optional(answer.error) : std::nullopt);
    });
  }

  void stopCapture(platform::StreamCompletion completion) override {
    if (pacer_) pacer_->stop();
    if (script_.framesAtStop > 0) {
      std::lock_guard lock(mutex_);
      auto buffer = sineSampleBuffer(format_, script_.framesAtStop, 0, 1000, 0.5);
      if (output_) sync(outputQueue_, [&] { output_->stream(this, buffer, platform::kStreamOutputAudio); });
    }
    const Answer answer = script_.stop;
    impl_->answerLater(answer, [completion, answer] {
      completion(answer.kind == Answer::Kind::Error ? std::optional(answer.error) : std::nullopt);
    });
  }

  // Hands a buffer to the registered output on its queue; the stream stays
  // alive until the output has seen it.
  void deliver(std::shared_ptr<platform::SampleBuffer> buffer, int64_t type) {
    std::lock_guard lock(mutex_);
    if (!output_) return;
    auto self = shared_from_this();
    platform::StreamOutput* output = output_;
    async(outputQueue_,
          [self, output, buffer = std::move(buffer), type] { output->stream(self.get(), buffer, type); });
  }

 private:
  void begin() {
    if (script_.audio.enabled) {
      std::weak_ptr<SimStream> weak = shared_from_this();
      pacer_ = std::make_unique<Pacer>(
          queue_, script_.audio, format_, [weak](const AudioFormat& format, uint32_t frames, auto buffers) {
            if (auto self = weak.lock())
              self->deliver(
                  std::make_shared<SimSampleBuffer>(format.streamDescription(), frames, std::move(buffers)),
                  platform::kStreamOutputAudio);
          });
      pacer_->start();
    }
  }

  SimPlatform::Impl* impl_;
  StreamScript script_;
  platform::StreamDelegate* delegate_;
  std::atomic<int>* live_;
  dispatch_queue_t queue_;
  AudioFormat format_;
  std::unique_ptr<Pacer> pacer_;
  std::mutex mutex_;
  platform::StreamOutput* output_ = nullptr;
  dispatch_queue_t outputQueue_ = nullptr;
  int64_t outputType_ = 0;
};

class SimEngine : public platform::AudioEngine {
 public:
  SimEngine(SimPlatform::Impl* impl, EngineScript script, std::atomic<int>* live)
      : impl_(impl),
        script_(std::move(script)),
        live_(live),
        alive_(std::make_shared<std::atomic<bool>>(true)) {
    live_->fetch_add(1);
    queue_ = dispatch_queue_create("sim.engine", DISPATCH_QUEUE_SERIAL);
  }
  ~SimEngine() override {
    stop();
    dispatch_release(queue_);
    live_->fetch_sub(1);
  }

  using platform::AudioEngine::inputFormat;
  using platform::AudioEngine::start;
  void inputFormat(FormatCompletion completion) override {
    const Answer answer = script_.formatQuery;
    const AudioFormat format = answer.kind == Answer::Kind::Ok
                                   ? script_.inputFormat
                                   : AudioFormat{platform::SampleType::Float32, 48000, 0, true};
    impl_->answerLater(answer, [completion, format] { completion(format); });
  }
  void installTap(uint32_t, uint32_t bufferSize, const AudioFormat& format,
                  platform::TapBlock block) override {
    tapFormat_ = format;
    tapFrames_ = bufferSize;
    tap_ = std::move(block);
  }
  void removeTap(uint32_t) override {
    sync(queue_, [this] { tap_ = nullptr; });
  }
  void prepare() override {}
  void start(StartCompletion completion) override {
    const Answer answer = script_.start;
    const bool started = answer.kind == Answer::Kind::Ok && startNow();
    // A stop before the answer makes it a failure, as the boundary says.
    impl_->answerLater(answer,
                       [completion, started, alive = alive_] { completion(started && alive->load()); });
  }
  // After this returns no tap call runs, and none will.
  void stop() override {
    alive_->store(false);
    if (pacer_) pacer_->stop();
    sync(queue_, [] {});
  }

 private:
  // The input runs from the request on; the answer may come later.
  bool startNow() {
    if (script_.startFails) return false;
    if (script_.audio.enabled && tap_) {
      AudioScript audio = script_.audio;
      audio.frames = {tapFrames_};
      pacer_ = std::make_unique<Pacer>(queue_, audio, tapFormat_,
                                       [this](const AudioFormat& format, uint32_t frames, auto buffers) {
                                         deliverTap(format, frames, buffers);
                                       });
      pacer_->start();
    }
    if (script_.configurationChangeAfterMs >= 0) {
      auto alive = alive_;
      auto* impl = impl_;
      platform::AudioEngine* self = this;
      asyncAfter(queue_, int64_t{script_.configurationChangeAfterMs} * 1'000'000, [alive, impl, self] {
        if (alive->load()) impl->notifications.post(self);
      });
    }
    return true;
  }

  void deliverTap(const AudioFormat& format, uint32_t frames, std::vector<std::vector<std::byte>>& buffers) {
    if (!tap_) return;
    platform::AudioBufferList list;
    for (auto& b : buffers)
      list.buffers.push_back({format.interleaved ? format.channelCount : 1, uint32_t(b.size()), b.data()});
    const platform::PCMBuffer buffer = platform::PCMBuffer::wrapping(format, frames, std::move(list));
    tap_(buffer);
  }

  SimPlatform::Impl* impl_;
  EngineScript script_;
  std::atomic<int>* live_;
  std::shared_ptr<std::atomic<bool>> alive_;
  dispatch_queue_t queue_;
  AudioFormat tapFormat_;
  uint32_t tapFrames_ = 1024;
  platform::TapBlock tap_;
  std::unique_ptr<Pacer> pacer_;
};

// Wraps the real converter with the scenario's stalls and failures.
class SimConverter : public platform::AudioConverter {
 public:
  SimConverter(SimPlatform::Impl* impl, std::unique_ptr<platform::AudioConverter> inner)
      : impl_(impl), inner_(std::move(inner)) {}
  const AudioFormat& inputFormat() const override { return inner_->inputFormat(); }
  const AudioFormat& outputFormat() const override { return inner_->outputFormat(); }
  void setDownmix(bool downmix) override { inner_->setDownmix(downmix); }
  void setPrimeMethod(platform::ConverterPrimeMethod method) override { inner_->setPrimeMethod(method); }
  platform::ConverterOutputStatus convert(platform::PCMBuffer& output, std::optional<platform::Error>* error,
                                          const platform::ConverterInputBlock& input) override {
    const ConverterScript& script = impl_->scenario.converter;
    if (script.stallMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(script.stallMs));
    bool endOfStream = false;
    platform::ConverterInputBlock watched = [&](uint32_t wanted, platform::ConverterInputStatus* status) {
      const platform::PCMBuffer* buffer = input(wanted, status);
      if (*status == platform::ConverterInputStatus::EndOfStream) endOfStream = true;
      return buffer;
    };
    if (script.failConvertAfter >= 0 && impl_->converterCalls++ >= script.failConvertAfter)
      return platform::ConverterOutputStatus::Error;
    const auto status = inner_->convert(output, error, watched);
    if (script.failTail && endOfStream) return platform::ConverterOutputStatus::Error;
    return status;
  }

 private:
  SimPlatform::Impl* impl_;
  std::unique_ptr<platform::AudioConverter> inner_;
};

}  // namespace

std::shared_ptr<platform::Stream> SimPlatform::Impl::Capture::makeStream(
    const platform::ContentFilter&, const platform::StreamConfiguration& configuration,
    platform::StreamDelegate* delegate) {
  StreamScript script;
  {
    std::lock_guard lock(impl->mutex);
    script = impl->scenario.streams.at(impl->streamsMade++);
  }
  impl->owner->streamsMade_.fetch_add(1);
  auto stream =
      std::make_shared<SimStream>(impl, script, delegate, configuration, &impl->owner->liveStreams_);
  std::lock_guard lock(impl->mutex);
  impl->lastStream = stream;
  return stream;
}

SimPlatform::SimPlatform(Scenario scenario) : impl_(std::make_unique<Impl>(this, std::move(scenario))) {}

SimPlatform::~SimPlatform() = default;

platform::CaptureDevices& SimPlatform::captureDevices() { return impl_->devices; }
platform::ScreenAccess& SimPlatform::screenAccess() { return impl_->access; }
platform::ScreenCapture& SimPlatform::screenCapture() { return impl_->capture; }
platform::NotificationCenter& SimPlatform::notificationCenter() { return impl_->notifications; }

std::unique_ptr<platform::AudioEngine> SimPlatform::makeAudioEngine() {
  EngineScript script;
  {
    std::lock_guard lock(impl_->mutex);
    script = impl_->scenario.engines.at(impl_->enginesMade++);
  }
  enginesMade_.fetch_add(1);
  return std::make_unique<SimEngine>(impl_.get(), script, &liveEngines_);
}

std::unique_ptr<platform::AudioConverter> SimPlatform::makeConverter(const AudioFormat& from,
                                                                     const AudioFormat& to) {
  auto inner = platform::makeSoxrConverter(from, to);
  if (!inner) return nullptr;
  return std::make_unique<SimConverter>(impl_.get(), std::move(inner));
}

std::shared_ptr<platform::Stream> SimPlatform::lastStream() {
  std::lock_guard lock(impl_->mutex);
  return impl_->lastStream.lock();
}

void SimPlatform::postConfigurationChange() { impl_->notifications.post(nullptr); }

}  // namespace zt::sim

namespace zt::platform {

// The test executable's platform: scripted by the file that ZT_SIM_SCENARIO
// names, or a plain successful session without it.
Platform& defaultPlatform() {
  static sim::SimPlatform* platform = [] {
    sim::Scenario scenario;
    if (const char* path = std::getenv("ZT_SIM_SCENARIO")) {
      std::ifstream file(path);
      std::stringstream text;
      text << file.rdbuf();
      auto parsed = sim::Scenario::fromJSON(text.str());
      // A broken script is a broken test: end with a status no session uses.
      if (!file || !parsed) _exit(70);
      scenario = std::move(*parsed);
    }
    return new sim::SimPlatform(std::move(scenario));
  }();
  return *platform;
}

}  // namespace zt::platform
