// The capture services, as the session and the audio pipeline call them.
//
// This header is the whole boundary between the helper and the machine's
// audio. A backend implements every interface below; the session owns the
// objects it gets through `Platform` and never sees a concrete backend.
// Backends: `pulse/` (Linux, PulseAudio client library) and `sim/`
// (scripted, for tests); `soxr/` provides the converter to both.
//
// Threading, for every interface:
// - Calls into a backend come from the main queue unless said otherwise.
// - Completions and callbacks run on a thread or queue of the backend's
//   choosing unless said otherwise; callers re-dispatch before they touch
//   session state. A completion runs exactly once.
// - A backend keeps an object alive while one of its callbacks runs, so the
//   identity a callback passes never names a freed object.
#pragma once

#include <dispatch/dispatch.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/audio_format.h"

namespace zt::platform {

// An error as a service reports it: a domain and a code.
struct Error {
  std::string domain;
  int64_t code = 0;
};

// The screen-capture service's error domain, and its code for a user who
// declined screen capture.
inline constexpr const char* kStreamErrorDomain = "SCStreamErrorDomain";
inline constexpr int64_t kStreamErrorUserDeclined = -3801;

// ---------------------------------------------------------------------------
// Pull-model sample-rate and channel converter.

enum class ConverterInputStatus { HaveData = 0, NoDataNow = 1, EndOfStream = 2 };
enum class ConverterOutputStatus { HaveData = 0, InputRanDry = 1, EndOfStream = 2, Error = 3 };
enum class ConverterPrimeMethod { Pre = 0, Normal = 1, None = 2 };

// Asked for input whenever the converter needs more: answers a status and,
// with HaveData, the buffer to read (which must stay valid until the
// conversion call returns).
using ConverterInputBlock =
    std::function<const PCMBuffer*(uint32_t framesWanted, ConverterInputStatus* status)>;

// Called only on the one queue that owns the converter; not thread-safe.
class AudioConverter {
 public:
  virtual ~AudioConverter() = default;
  virtual const AudioFormat& inputFormat() const = 0;
  virtual const AudioFormat& outputFormat() const = 0;
  // Mix every input channel into the output's channels.
  virtual void setDownmix(bool downmix) = 0;
  // None: silence is assumed before the first and after the last input
  // frame, so output lags by the filter delay and the last input frames come
  // out only once the input block reports the end of the stream.
  virtual void setPrimeMethod(ConverterPrimeMethod method) = 0;
  // Fills `output` from frame 0 and sets its frame length to the frames
  // written. HaveData: the output is full. InputRanDry: the block had no data
  // now. EndOfStream: the block reported the end and everything held has been
  // written. Error: `error`, when given, may be filled.
  virtual ConverterOutputStatus convert(PCMBuffer& output, std::optional<Error>* error,
                                        const ConverterInputBlock& input) = 0;
};

// ---------------------------------------------------------------------------
// Media sample buffers, as the screen-capture stream delivers system audio.
// Shared ownership stands for retain/release: holding the pointer keeps the
// buffer alive across queues.

class SampleBuffer {
 public:
  virtual ~SampleBuffer() = default;
  virtual bool dataIsReady() const = 0;
  // Audio frames in the buffer (signed, may be nonsense).
  virtual int64_t numSamples() const = 0;
  // Absent when the buffer carries no audio description.
  virtual std::optional<StreamDescription> streamDescription() const = 0;
  // Copies `frames` frames from `offset` into a caller-owned list; 0 on
  // success, any other value is a failure.
  virtual int32_t copyPCMData(int64_t offset, int64_t frames, AudioBufferList& into) const = 0;
};

// ---------------------------------------------------------------------------
// Screen capture: the system audio comes from a display's stream.

struct Display {
  uint32_t displayID = 0;
  std::string name;
};

struct ShareableContent {
  // Ordered; the first is the one captured.
  std::vector<std::shared_ptr<Display>> displays;
};

struct ContentFilter {
  std::shared_ptr<Display> display;
  std::vector<uint32_t> excludedWindows;
};

struct StreamConfiguration {
  bool capturesAudio = false;
  bool excludesCurrentProcessAudio = false;
  int sampleRate = 48000;
  int channelCount = 2;
  // Video settings; backends without video ignore them.
  int width = 0;
  int height = 0;
  int queueDepth = 0;
  bool showsCursor = true;
  int64_t minimumFrameIntervalValue = 0;
  int32_t minimumFrameIntervalTimescale = 1;
};

enum StreamOutputType : int64_t { kStreamOutputScreen = 0, kStreamOutputAudio = 1 };

class Stream;

// Receives a stream's sample buffers on the queue given with the output.
// A backend may run it there synchronously from a thread of its own (a busy
// queue then holds that thread up), so it must not wait for the stream or
// for anything that waits for it, call into it, or drop the last reference
// to it.
class StreamOutput {
 public:
  virtual void stream(Stream* stream, std::shared_ptr<SampleBuffer> buffer, int64_t type) = 0;

 protected:
  ~StreamOutput() = default;
};

// Told, on any thread, when the service stops a stream on its own.
class StreamDelegate {
 public:
  virtual void stream(Stream* stream, const Error& error) = 0;

 protected:
  ~StreamDelegate() = default;
};

using StreamCompletion = std::function<void(std::optional<Error>)>;

// A capture stream. Its address is its identity: callbacks pass it so that
// a replaced stream's late callbacks can be told apart.
class Stream {
 public:
  virtual ~Stream() = default;
  // Sample buffers of `type` go to `output` on `queue` from now on. False
  // when the output cannot be registered.
  virtual bool addStreamOutput(StreamOutput* output, int64_t type, dispatch_queue_t queue) = 0;
  virtual void removeStreamOutput(StreamOutput* output, int64_t type) = 0;
  virtual void startCapture(StreamCompletion completion) = 0;
  virtual void stopCapture(StreamCompletion completion) = 0;
};

using ShareableContentCompletion = std::function<void(std::optional<ShareableContent>, std::optional<Error>)>;

class ScreenCapture {
 public:
  virtual ~ScreenCapture() = default;
  virtual void getShareableContent(bool excludeDesktopWindows, bool onScreenWindowsOnly,
                                   ShareableContentCompletion completion) = 0;
  // A new stream. The delegate and later outputs are not owned and must
  // outlive the stream.
  virtual std::shared_ptr<Stream> makeStream(const ContentFilter& filter,
                                             const StreamConfiguration& configuration,
                                             StreamDelegate* delegate) = 0;
};

// CoreGraphics-style screen-capture access.
class ScreenAccess {
 public:
  virtual ~ScreenAccess() = default;
  // Never prompts.
  virtual bool preflight() = 0;
  // May prompt and block until the user answers; called only on the
  // session's permission queue.
  virtual bool request() = 0;
};

// ---------------------------------------------------------------------------
// Microphone: authorization, presence, and the engine that records it.

enum class AuthorizationStatus : int { NotDetermined = 0, Restricted = 1, Denied = 2, Authorized = 3 };

// Waits for a completion-style call to answer; for callers that may block
// (tests, tools), never the main queue, which must keep serving commands and
// signals while a service takes its time.
template <class Result, class Call>
Result waitForAnswer(Call call) {
#ifndef NDEBUG
  dispatch_assert_queue_not(dispatch_get_main_queue());
#endif
  struct Answer {
    dispatch_semaphore_t done = dispatch_semaphore_create(0);
    Result result{};
    ~Answer() { dispatch_release(done); }
  };
  auto answer = std::make_shared<Answer>();
  call([answer](Result result) {
    answer->result = std::move(result);
    dispatch_semaphore_signal(answer->done);
  });
  dispatch_semaphore_wait(answer->done, DISPATCH_TIME_FOREVER);
  return answer->result;
}

class CaptureDevices {
 public:
  virtual ~CaptureDevices() = default;
  virtual AuthorizationStatus audioAuthorizationStatus() = 0;
  // May prompt; the completion runs once, on any queue, with the decision.
  virtual void requestAudioAccess(std::function<void(bool granted)> completion) = 0;
  // Whether a default audio input device exists. The completion runs once,
  // on a thread of the backend's choosing, never inside this call.
  virtual void hasDefaultAudioDevice(std::function<void(bool present)> completion) = 0;
  // The same, waited for.
  bool hasDefaultAudioDevice() {
    return waitForAnswer<bool>([this](auto done) { hasDefaultAudioDevice(std::move(done)); });
  }
};

// Receives every tap buffer on the engine's own thread; the buffer is only
// valid during the call.
using TapBlock = std::function<void(const PCMBuffer& buffer)>;

// An engine records the default input. Built fresh for every capture run.
// Destroying it (after `stop`) guarantees that no tap call and no
// configuration-change call is running or will run.
//
// `inputFormat` and `start` answer through completions that run once, on a
// thread of the backend's choosing and never inside the call; a backend
// bounds how long either may take. Stopping or destroying the engine while
// one is pending still answers it (a start then answers false), so a
// completion must not reach the engine itself.
class AudioEngine {
 public:
  using FormatCompletion = std::function<void(AudioFormat format)>;
  using StartCompletion = std::function<void(bool started)>;

  virtual ~AudioEngine() = default;
  // The input's format on bus 0. Neither a rate nor channels: the audio
  // service itself is out of reach, and the system audio with it.
  virtual void inputFormat(FormatCompletion completion) = 0;
  virtual void installTap(uint32_t bus, uint32_t bufferSize, const AudioFormat& format, TapBlock block) = 0;
  virtual void removeTap(uint32_t bus) = 0;
  virtual void prepare() = 0;
  // True once input is running; called after `inputFormat` has answered.
  virtual void start(StartCompletion completion) = 0;
  virtual void stop() = 0;

  // The same answers, waited for.
  AudioFormat inputFormat() {
    return waitForAnswer<AudioFormat>([this](auto done) { inputFormat(FormatCompletion(std::move(done))); });
  }
  bool start() {
    return waitForAnswer<bool>([this](auto done) { start(StartCompletion(std::move(done))); });
  }
};

// A registration with the notification centre; destroying it does not
// remove it, `removeObserver` does.
class NotificationObserver {
 public:
  virtual ~NotificationObserver() = default;
};

// The engine posts its configuration changes here, on the posting thread.
class NotificationCenter {
 public:
  virtual ~NotificationCenter() = default;
  // `callback` runs on the posting thread whenever `engine` changes its
  // configuration, until the observer is removed.
  virtual std::shared_ptr<NotificationObserver> addEngineConfigurationObserver(
      AudioEngine* engine, std::function<void()> callback) = 0;
  // After this returns, the callback is not running and will not run.
  virtual void removeObserver(const std::shared_ptr<NotificationObserver>& observer) = 0;
};

// ---------------------------------------------------------------------------

// Every service of one backend.
class Platform {
 public:
  virtual ~Platform() = default;
  virtual CaptureDevices& captureDevices() = 0;
  virtual ScreenAccess& screenAccess() = 0;
  virtual ScreenCapture& screenCapture() = 0;
  virtual NotificationCenter& notificationCenter() = 0;
  virtual std::unique_ptr<AudioEngine> makeAudioEngine() = 0;
  // A converter between two formats, or nothing when it cannot be made.
  // Runs on the conversion queue.
  virtual std::unique_ptr<AudioConverter> makeConverter(const AudioFormat& from, const AudioFormat& to) = 0;
};

// The backend linked into this executable; lives for the whole process.
Platform& defaultPlatform();

}  // namespace zt::platform
