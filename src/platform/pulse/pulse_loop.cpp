#include "platform/pulse/pulse_loop.h"

#include <poll.h>
#include <pthread.h>
#include <stdlib.h>

#include <algorithm>
#include <thread>

namespace zt::platform::pulse {

namespace {

// The loop's state. `mutex` is the loop lock: the loop thread holds it
// except while it waits in `pollUnlocked`. Recursive, as code on another
// thread may take a LoopLock inside another one.
struct Loop {
  pa_mainloop* mainloop = nullptr;
  std::recursive_mutex mutex;
  std::thread::id thread;
  // Lock held: a small piece of audio was read since the last poll.
  bool dataArrived = false;
  Clock::time_point lastWake;
  // Guarded by `gateMutex`: polls entered so far; a request that the next
  // poll happen at once, without waiting and without blocking; and the
  // threads in `catchUp`, for which every poll does so.
  std::mutex gateMutex;
  std::condition_variable gate;
  std::condition_variable entered;
  uint64_t polls = 0;
  bool hurry = false;
  int catchingUp = 0;
};

std::once_flag gLoopOnce;
Loop* gLoop = nullptr;

// The mainloop's poll function, on the loop thread with the lock held.
// Waits for the rest of the spacing first when the last wakeup brought
// audio and nothing is due sooner (a zero timeout means events are queued).
// Whatever is already waiting is read before that: without the shared
// ring (no shared memory, a TCP server) libpulse reads one message of the
// socket per pass, and spacing out after each would read one piece per
// spacing, far slower than the audio comes.
int pollUnlocked(struct pollfd* fds, unsigned long count, int timeoutMs, void* userdata) {
  auto* l = static_cast<Loop*>(userdata);
  const bool spaceOut = l->dataArrived && timeoutMs != 0;
  l->dataArrived = false;
  if (spaceOut) {
    const int ready = ::poll(fds, count, 0);
    if (ready > 0) return ready;
  }
  const auto start = Clock::now();
  l->mutex.unlock();
  bool hurry;
  {
    std::unique_lock<std::mutex> gate(l->gateMutex);
    ++l->polls;
    l->entered.notify_all();
    const auto urgent = [l] { return l->hurry || l->catchingUp > 0; };
    if (spaceOut && !urgent()) {
      auto until = l->lastWake + kWakeSpacing;
      if (timeoutMs > 0) until = std::min(until, start + std::chrono::milliseconds(timeoutMs));
      l->gate.wait_until(gate, until, urgent);
    }
    hurry = urgent();
    l->hurry = false;
  }
  int timeout = timeoutMs;
  if (hurry) {
    timeout = 0;
  } else if (timeoutMs > 0) {
    const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    timeout = static_cast<int>(std::max<int64_t>(0, timeoutMs - waited));
  }
  const int ready = ::poll(fds, count, timeout);
  l->lastWake = Clock::now();
  l->mutex.lock();
  return ready;
}

// Any thread: the loop's next poll happens at once.
void hurry(Loop* l) {
  {
    std::lock_guard<std::mutex> gate(l->gateMutex);
    l->hurry = true;
  }
  l->gate.notify_all();
}

void startLoop() {
  quietLibrary();
  if (!loadLibpulse()) return;
  pa_mainloop* mainloop = libpulse().pa_mainloop_new();
  if (!mainloop) return;
  auto* l = new Loop;
  l->mainloop = mainloop;
  libpulse().pa_mainloop_set_poll_func(mainloop, &pollUnlocked, l);
  std::lock_guard<std::recursive_mutex> lock(l->mutex);  // until the thread's id is known
  std::thread thread([l] {
    pthread_setname_np(pthread_self(), "zt-pulse");
    std::lock_guard<std::recursive_mutex> held(l->mutex);
    // Never quits: the loop serves the process until it ends.
    libpulse().pa_mainloop_run(l->mainloop, nullptr);
  });
  l->thread = thread.get_id();
  thread.detach();
  gLoop = l;
}

}  // namespace

void recordedDataArrived(pa_usec_t piece) {
  const auto usec = std::chrono::duration_cast<std::chrono::microseconds>(kWakeSpacing).count();
  if (gLoop && piece < static_cast<pa_usec_t>(usec) / 2) gLoop->dataArrived = true;
}

void catchUp() {
  Loop* l = loop() ? gLoop : nullptr;
  if (!l || std::this_thread::get_id() == l->thread) return;
  std::unique_lock<std::mutex> gate(l->gateMutex);
  // The poll under way (or the pass it started) may predate the call; the
  // one after next begins only once the loop has dispatched what a poll
  // made after the call found.
  const uint64_t target = l->polls + 2;
  ++l->catchingUp;
  l->gate.notify_all();
  libpulse().pa_mainloop_wakeup(l->mainloop);
  l->entered.wait_for(gate, 4 * kWakeSpacing, [&] { return l->polls >= target; });
  --l->catchingUp;
}

namespace {

// A wait that also ends early when the operation is no longer running: a
// context that fails cancels its operations without calling them back.
bool waitForOperation(Waiter& waiter, pa_operation* operation, Clock::time_point deadline) {
  for (;;) {
    const auto slice = std::min(deadline, Clock::now() + std::chrono::milliseconds(50));
    if (waiter.waitUntil(slice)) return true;
    if (Clock::now() >= deadline) return false;
    LoopLock lock;
    if (libpulse().pa_operation_get_state(operation) != PA_OPERATION_RUNNING) return false;
  }
}

// Starts an operation under the lock, waits for it without the lock, and
// cancels it if it is still running, so that its callback cannot run once
// this returns and the stack state it writes is gone.
template <class Start>
void runOperation(Waiter& waiter, Clock::time_point deadline, Start start) {
  pa_operation* operation = nullptr;
  {
    LoopLock lock;
    operation = start();
  }
  if (!operation) return;
  waitForOperation(waiter, operation, deadline);
  LoopLock lock;
  if (libpulse().pa_operation_get_state(operation) == PA_OPERATION_RUNNING) return cancelOperation(operation);
  libpulse().pa_operation_unref(operation);
}

}  // namespace

pa_mainloop* loop() {
  std::call_once(gLoopOnce, startLoop);
  return gLoop ? gLoop->mainloop : nullptr;
}

pa_mainloop_api* loopApi() {
  pa_mainloop* l = loop();
  return l ? libpulse().pa_mainloop_get_api(l) : nullptr;
}

LoopLock::LoopLock() {
  if (!loop() || std::this_thread::get_id() == gLoop->thread) return;
  hurry(gLoop);
  gLoop->mutex.lock();
  locked_ = true;
}

LoopLock::~LoopLock() {
  if (locked_) gLoop->mutex.unlock();
}

void Waiter::signal() {
  std::lock_guard<std::mutex> lock(mutex_);
  done_ = true;
  cv_.notify_all();
}

bool Waiter::waitUntil(Clock::time_point deadline) {
  std::unique_lock<std::mutex> lock(mutex_);
  return cv_.wait_until(lock, deadline, [this] { return done_; });
}

void Waiter::reset() {
  std::lock_guard<std::mutex> lock(mutex_);
  done_ = false;
}

void quietLibrary() {
  static std::once_flag once;
  std::call_once(once, [] {
    // libpulse writes its client-side errors to standard error unless told
    // to log elsewhere; this process keeps standard error silent. Its log
    // settings are read once, from the environment, before the first
    // message, so they are set here before any libpulse object exists.
    setenv("PULSE_LOG_SYSLOG", "1", 1);
    setenv("PULSE_LOG", "0", 1);
  });
}

namespace {

struct ConnectState {
  Waiter waiter;
};

void onConnectState(pa_context* context, void* userdata) {
  switch (libpulse().pa_context_get_state(context)) {
    case PA_CONTEXT_READY:
    case PA_CONTEXT_FAILED:
    case PA_CONTEXT_TERMINATED:
      static_cast<ConnectState*>(userdata)->waiter.signal();
      break;
    default:
      break;
  }
}

}  // namespace

pa_context* newContext(pa_mainloop_api* api, const char* name) {
  pa_proplist* props = libpulse().pa_proplist_new();
  libpulse().pa_proplist_sets(props, PA_PROP_APPLICATION_NAME, "Zentrell Audio Helper");
  libpulse().pa_proplist_sets(props, PA_PROP_APPLICATION_ID, "com.zentrell.audio-helper");
  pa_context* context = libpulse().pa_context_new_with_proplist(api, name, props);
  libpulse().pa_proplist_free(props);
  return context;
}

void closeContext(pa_context* context) {
  libpulse().pa_context_set_state_callback(context, nullptr, nullptr);
  libpulse().pa_context_set_subscribe_callback(context, nullptr, nullptr);
  libpulse().pa_context_disconnect(context);
  libpulse().pa_context_unref(context);
}

void subscribe(pa_context* context, pa_subscription_mask_t mask) {
  if (pa_operation* operation = libpulse().pa_context_subscribe(context, mask, nullptr, nullptr))
    libpulse().pa_operation_unref(operation);
}

void cancelOperation(pa_operation*& operation) {
  if (!operation) return;
  libpulse().pa_operation_cancel(operation);
  libpulse().pa_operation_unref(operation);
  operation = nullptr;
}

void releaseOperation(pa_operation*& operation) {
  if (!operation) return;
  libpulse().pa_operation_unref(operation);
  operation = nullptr;
}

void closeStream(pa_stream* stream) {
  libpulse().pa_stream_set_state_callback(stream, nullptr, nullptr);
  libpulse().pa_stream_set_read_callback(stream, nullptr, nullptr);
  libpulse().pa_stream_set_moved_callback(stream, nullptr, nullptr);
  const auto state = libpulse().pa_stream_get_state(stream);
  if (state == PA_STREAM_READY || state == PA_STREAM_CREATING) libpulse().pa_stream_disconnect(stream);
  libpulse().pa_stream_unref(stream);
}

pa_buffer_attr recordAttributes(pa_usec_t fragment, const pa_sample_spec& sampleSpec) {
  pa_buffer_attr attr;
  attr.maxlength = static_cast<uint32_t>(-1);
  attr.tlength = static_cast<uint32_t>(-1);
  attr.prebuf = static_cast<uint32_t>(-1);
  attr.minreq = static_cast<uint32_t>(-1);
  attr.fragsize = static_cast<uint32_t>(libpulse().pa_usec_to_bytes(fragment, &sampleSpec));
  return attr;
}

pa_context* connectContext(const char* name, Clock::time_point deadline, int* error) {
  pa_mainloop_api* api = loopApi();
  if (!api) {
    *error = PA_ERR_INTERNAL;
    return nullptr;
  }
  ConnectState state;
  pa_context* context = nullptr;
  {
    LoopLock lock;
    context = newContext(api, name);
    if (!context) {
      *error = PA_ERR_INTERNAL;
      return nullptr;
    }
    libpulse().pa_context_set_state_callback(context, onConnectState, &state);
    if (libpulse().pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
      *error = libpulse().pa_context_errno(context);
      closeContext(context);
      return nullptr;
    }
  }
  state.waiter.waitUntil(deadline);
  LoopLock lock;
  libpulse().pa_context_set_state_callback(context, nullptr, nullptr);
  if (libpulse().pa_context_get_state(context) == PA_CONTEXT_READY) return context;
  *error = libpulse().pa_context_errno(context);
  if (*error == PA_OK) *error = PA_ERR_TIMEOUT;
  closeContext(context);
  return nullptr;
}

pa_time_event* armTimer(pa_context* context, pa_usec_t delay, pa_time_event_cb_t callback, void* userdata) {
  if (!context) return nullptr;
  return libpulse().pa_context_rttime_new(context, libpulse().pa_rtclock_now() + delay, callback, userdata);
}

void cancelTimer(pa_time_event*& timer) {
  if (!timer) return;
  if (pa_mainloop_api* api = loopApi()) api->time_free(timer);
  timer = nullptr;
}

void releaseContext(pa_context* context) {
  if (!context) return;
  LoopLock lock;
  closeContext(context);
}

namespace {

// One synchronous info question: the first entry the server reports, as
// `take` makes it into a result. Lives on the asking thread's stack;
// `runOperation` guarantees that no callback runs once it returns.
template <class Result, class Info>
struct InfoQuery {
  Waiter waiter;
  std::optional<Result> result;
  Result (*take)(const Info&) = nullptr;

  // For operations that answer once (the server's own info); null when the
  // server could not answer.
  static void onAnswer(pa_context*, const Info* info, void* userdata) {
    auto* query = static_cast<InfoQuery*>(userdata);
    if (info && !query->result) query->result = query->take(*info);
    query->waiter.signal();
  }
  // For list operations: each entry, then one call with `eol` set (negative
  // when the server does not know the object).
  static void onEntry(pa_context*, const Info* info, int eol, void* userdata) {
    auto* query = static_cast<InfoQuery*>(userdata);
    if (eol == 0) {
      if (info && !query->result) query->result = query->take(*info);
      return;
    }
    query->waiter.signal();
  }
};

// `start(query)` begins the operation under the lock, passing one of the
// query's callbacks and the query itself.
template <class Result, class Info, class Start>
std::optional<Result> queryOne(Clock::time_point deadline, Result (*take)(const Info&), Start start) {
  InfoQuery<Result, Info> query;
  query.take = take;
  runOperation(query.waiter, deadline, [&] { return start(&query); });
  LoopLock lock;  // orders the callback's writes before this read
  return query.result;
}

ServerDefaults defaultsOf(const pa_server_info& info) {
  ServerDefaults defaults;
  if (info.default_sink_name) defaults.sink = info.default_sink_name;
  if (info.default_source_name) defaults.source = info.default_source_name;
  return defaults;
}

}  // namespace

SourceDetails sourceDetails(const pa_source_info& info) {
  SourceDetails d;
  d.name = info.name ? info.name : "";
  d.index = info.index;
  d.sampleSpec = info.sample_spec;
  d.map = info.channel_map;
  d.isMonitor = info.monitor_of_sink != PA_INVALID_INDEX;
  return d;
}

namespace {

SinkDetails sinkOf(const pa_sink_info& info) {
  SinkDetails d;
  d.name = info.name ? info.name : "";
  d.index = info.index;
  d.description = info.description ? info.description : "";
  d.monitorSource = info.monitor_source_name ? info.monitor_source_name : "";
  return d;
}

}  // namespace

std::optional<ServerDefaults> queryDefaults(pa_context* context, Clock::time_point deadline) {
  return queryOne(deadline, &defaultsOf, [&](auto* query) {
    return libpulse().pa_context_get_server_info(context, query->onAnswer, query);
  });
}

std::optional<SourceDetails> querySource(pa_context* context, const std::string& name,
                                         Clock::time_point deadline) {
  return queryOne(deadline, &sourceDetails, [&](auto* query) {
    return libpulse().pa_context_get_source_info_by_name(context, name.c_str(), query->onEntry, query);
  });
}

std::optional<SinkDetails> querySink(pa_context* context, const std::string& name,
                                     Clock::time_point deadline) {
  return queryOne(deadline, &sinkOf, [&](auto* query) {
    return libpulse().pa_context_get_sink_info_by_name(context, name.c_str(), query->onEntry, query);
  });
}

}  // namespace zt::platform::pulse
