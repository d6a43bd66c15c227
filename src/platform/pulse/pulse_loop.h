// The one PulseAudio main loop thread of the process, and the small
// synchronous helpers the capture services build on.
//
// Every libpulse object of this backend lives on one main loop, run on a
// thread of its own. Its callbacks run on the loop's thread with the loop
// lock held; every other thread takes the lock (`LoopLock`) before it
// touches a libpulse object. Because a callback only ever runs under that
// lock, clearing an object's callbacks while holding it guarantees that
// none is running or will run, which is what the engine's and the stream's
// teardown rely on.
//
// While audio flows in small pieces the loop wakes at most once per
// kWakeSpacing: a sink serving a low-latency player hands its monitor's
// data over in pieces of a few milliseconds, and waking for each piece
// (the poll, the shared-ring signal, the release of every block back to
// the server) cost the helper more than everything it does with the audio.
// Waiting lets the pieces gather in the server's ring and be taken in one
// pass. Other threads that take the lock, time events and queued requests
// cut the wait short, so only the server's answers wait, by one spacing at
// most.
#pragma once

#include <dispatch/dispatch.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/pulse/pulse_api.h"

namespace zt::platform::pulse {

// The error domain this backend reports libpulse failures in.
inline constexpr const char* kErrorDomain = "PulseAudio";

// The process-wide main loop; created and started on first use and never
// stopped (the process ends with _exit, not by unwinding). The first call
// loads libpulse; null when that or the loop failed, and every helper below
// then acts as if no server were there.
pa_mainloop* loop();
pa_mainloop_api* loopApi();

// The least time between two wakeups of the loop while recorded audio
// arrives. It adds up to this much (about half of it at the median) to the
// way of a sound to the host. Measured against a 10 ms player: 20 ms left
// the helper at about 5 ms of CPU per second of audio, 40 ms at about 4,
// with a click's median way to the host near 35 ms, well within the tenth
// of a second a live transcript can take.
inline constexpr auto kWakeSpacing = std::chrono::milliseconds(40);

// Loop thread (or lock held), for every piece a record stream reads: a
// piece shorter than half the spacing means the server hands over audio in
// small pieces, so the loop lets the next ones gather before it wakes
// again. Larger pieces (PipeWire sends one per fragment) are gathered by
// the server already; waiting for them would only delay them.
void recordedDataArrived(pa_usec_t piece);

// Any thread but the loop's, without the loop lock: returns once the loop
// has taken in what the server had sent before the call (bounded by a few
// spacings), so that a stop reads all of it rather than leaving the last
// pieces waiting in the server's ring.
void catchUp();

// Holds the loop lock for its scope; a no-op on the loop thread itself,
// where callbacks already hold it. Ends any wait of the loop between
// wakeups, so that requests made under the lock go out at once.
class LoopLock {
 public:
  LoopLock();
  ~LoopLock();
  LoopLock(const LoopLock&) = delete;
  LoopLock& operator=(const LoopLock&) = delete;

 private:
  bool locked_ = false;
};

using Clock = std::chrono::steady_clock;

// A one-shot rendezvous between a loop callback and a thread that waits,
// bounded, without holding the loop lock.
class Waiter {
 public:
  // Loop thread (or any): marks the wait as over.
  void signal();
  // Any thread but the loop's, without the loop lock: true when signalled
  // before `deadline`.
  bool waitUntil(Clock::time_point deadline);
  void reset();

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool done_ = false;
};

// Runs `completion(value)` on a global queue: never inside the caller's own
// call and never under the loop lock, whatever path ends the request.
template <class T>
void answerLater(std::function<void(T)> completion, T value) {
  if (!completion) return;
  struct Call {
    std::function<void(T)> completion;
    T value;
  };
  dispatch_async_f(dispatch_get_global_queue(DISPATCH_QUEUE_PRIORITY_DEFAULT, 0),
                   new Call{std::move(completion), std::move(value)}, [](void* context) {
                     std::unique_ptr<Call> call(static_cast<Call*>(context));
                     call->completion(std::move(call->value));
                   });
}

// Arms a one-shot timer on the loop `delay` from now; its callback runs on
// the loop thread, lock held, and frees it. Null when there is no loop.
pa_time_event* armTimer(pa_context* context, pa_usec_t delay, pa_time_event_cb_t callback, void* userdata);
// Frees a timer that has not fired (its callback will not run); null
// afterwards. Lock held.
void cancelTimer(pa_time_event*& timer);

// Silences libpulse's own diagnostics (they would go to standard error) and
// keeps it from spawning a daemon. Idempotent; called before the first
// context is made.
void quietLibrary();

// Connects a new context on the loop, waiting until `deadline` for it to be
// ready. Never called on the loop thread. Answers the ready context (one
// reference, no callbacks set) or nothing with `error` set to a libpulse
// error code.
pa_context* connectContext(const char* name, Clock::time_point deadline, int* error);

// Disconnects and releases a context; takes the loop lock itself.
void releaseContext(pa_context* context);

// The pieces the connections and record streams of this backend share; all
// with the loop lock held.

// A new, unconnected context carrying this application's name and id; null
// when libpulse could not make one.
pa_context* newContext(pa_mainloop_api* api, const char* name);
// Clears the context's callbacks (so none runs from here on), disconnects
// and releases it.
void closeContext(pa_context* context);
// Asks for the server's events of `mask` on the context's subscribe callback.
void subscribe(pa_context* context, pa_subscription_mask_t mask);
// Cancels an operation (its callback will not run) and releases it; null
// afterwards. Nothing happens when it is null already.
void cancelOperation(pa_operation*& operation);
// Releases an operation whose callback has run; null afterwards.
void releaseOperation(pa_operation*& operation);
// Clears a stream's callbacks, disconnects it when it is connected or on
// its way there, and releases it.
void closeStream(pa_stream* stream);
// Loop thread, in a read callback (or lock held): hands each fragment the
// record stream holds to `use(data, bytes)` (data is null for a hole in the
// stream) and drops it afterwards; ends early when `use` answers false.
template <class Use>
void readFragments(pa_stream* stream, Use use) {
  const pa_sample_spec* sampleSpec = libpulse().pa_stream_get_sample_spec(stream);
  for (;;) {
    const void* data = nullptr;
    size_t bytes = 0;
    if (libpulse().pa_stream_peek(stream, &data, &bytes) < 0 || bytes == 0) return;
    if (sampleSpec) recordedDataArrived(libpulse().pa_bytes_to_usec(bytes, sampleSpec));
    const bool more = use(data, bytes);
    libpulse().pa_stream_drop(stream);
    if (!more) return;
  }
}

// The fragments the record streams ask for. With PA_STREAM_ADJUST_LATENCY
// the server sets the recorded device's latency to about the fragment, and
// a monitor passes the request on to its sink: every other client of that
// device then wakes as often as the fragment says. 10 ms forced the user's
// output and microphone into 10 ms wakeups for as long as a recording ran.
// The system audio asks for the loop's own spacing: a smaller fragment
// would make the output wake more often for data the loop takes in no
// sooner, and 40 ms is still near what desktop players ask for anyway. The
// microphone's 50 ms wakes its device less again: every buffer is more
// than a tap's worth (1024 frames up to 48 kHz), each read goes to the tap
// whole, and the four work slots then cover 150 ms of a conversion queue
// that a busy machine keeps from running.
inline constexpr pa_usec_t kSystemFragmentUsec = 40 * PA_USEC_PER_MSEC;
inline constexpr pa_usec_t kMicrophoneFragmentUsec = 50 * PA_USEC_PER_MSEC;

// Record-stream buffer attributes that let the server choose everything but
// the fragment size, which is `fragment` worth of `sampleSpec`'s frames: that is
// how much it gathers before handing data over.
pa_buffer_attr recordAttributes(pa_usec_t fragment, const pa_sample_spec& sampleSpec);

// What the server reports about its defaults.
struct ServerDefaults {
  std::string sink;    // empty when the server has no default sink
  std::string source;  // empty when it has no default source
};

struct SourceDetails {
  std::string name;
  uint32_t index = PA_INVALID_INDEX;
  pa_sample_spec sampleSpec{};
  pa_channel_map map{};
  bool isMonitor = false;
};

// What a source-info entry says, as the queries below report it.
SourceDetails sourceDetails(const pa_source_info& info);

struct SinkDetails {
  std::string name;
  uint32_t index = PA_INVALID_INDEX;
  std::string description;
  std::string monitorSource;
};

// Synchronous queries on a ready context, bounded by `deadline`; nothing
// when the server did not answer in time or does not know the object.
// Never called on the loop thread; they take the loop lock themselves.
std::optional<ServerDefaults> queryDefaults(pa_context* context, Clock::time_point deadline);
std::optional<SourceDetails> querySource(pa_context* context, const std::string& name,
                                         Clock::time_point deadline);
std::optional<SinkDetails> querySink(pa_context* context, const std::string& name,
                                     Clock::time_point deadline);

}  // namespace zt::platform::pulse
