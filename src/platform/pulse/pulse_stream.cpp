#include "platform/pulse/pulse_stream.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <utility>

namespace zt::platform::pulse {

namespace {

constexpr pa_usec_t kFragmentUsec = kSystemFragmentUsec;
constexpr pa_usec_t kStartBoundUsec = 5 * PA_USEC_PER_SEC;
constexpr auto kQueryBound = std::chrono::seconds(2);
// How far either side of the server's news of a new default the audio of
// the old and the new output are added: the players move there at about
// that moment, and the two streams' clocks place it to a few milliseconds.
constexpr int64_t kJoinUsec = 40000;
// A server may move the players some time after its news (PipeWire's
// session manager acts on its own): the adding goes on until the old output
// has been silent for kQuietUsec, for at most kJoinMostUsec after the news;
// an old output that keeps sounding (a player held there) is heard along
// with the new one that long.
constexpr int64_t kJoinMostUsec = 1000000;
constexpr uint64_t kQuietUsec = 20000;
constexpr float kSilence = 1e-4f;  // -80 dBFS
// How long the join waits for the old stream's audio of the window (a
// server may stop sending it once its output is idle).
constexpr int64_t kJoinWaitUsec = 500000;
// How much of its latest audio a standby stream keeps.
constexpr uint64_t kStandbyKeepUsec = 500000;
constexpr auto kStandbyFlags = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE);
// Consecutive failed attempts to find the default output's monitor before
// the stream gives up.
constexpr int kMaxMisses = 5;

// Completions run on a global queue: never inside the caller's own call and
// never under the loop lock, whatever the path that ends them.
void completeLater(StreamCompletion completion, std::optional<Error> error) {
  if (!completion) return;
  struct Call {
    StreamCompletion completion;
    std::optional<Error> error;
  };
  dispatch_async_f(dispatch_get_global_queue(DISPATCH_QUEUE_PRIORITY_DEFAULT, 0),
                   new Call{std::move(completion), std::move(error)}, [](void* context) {
                     std::unique_ptr<Call> call(static_cast<Call*>(context));
                     call->completion(call->error);
                   });
}

Error pulseError(int code) { return Error{kErrorDomain, code}; }

// Every stream that has asked to start and is not yet destroyed; guarded by
// the loop lock.
std::vector<PulseStream*>& startedStreams() {
  static auto* streams = new std::vector<PulseStream*>();
  return *streams;
}

}  // namespace

void PulseStream::serverLost(int error) {
  const auto streams = startedStreams();  // a stop may end the list's entries
  for (PulseStream* stream : streams) stream->stopOnOwn(error);
}

int64_t PulseSampleBuffer::numSamples() const {
  return channels_ == 0 ? 0 : static_cast<int64_t>(samples_.size() / channels_);
}

std::optional<StreamDescription> PulseSampleBuffer::streamDescription() const {
  StreamDescription d;
  d.sampleRate = sampleRate_;
  d.formatID = kFormatLinearPCM;
  d.formatFlags = kFormatFlagIsFloat;
  d.bytesPerFrame = static_cast<uint32_t>(sizeof(float) * channels_);
  d.channelsPerFrame = channels_;
  d.bitsPerChannel = 32;
  return d;
}

// Fills either one interleaved buffer or one buffer per channel, as the
// caller's list asks; each buffer's byte size becomes the bytes written.
int32_t PulseSampleBuffer::copyPCMData(int64_t offset, int64_t frames, AudioBufferList& into) const {
  const int64_t total = numSamples();
  if (offset < 0 || frames < 0 || offset > total || frames > total - offset) return -1;
  const float* from = samples_.data() + static_cast<size_t>(offset) * channels_;
  const size_t count = static_cast<size_t>(frames);
  if (into.buffers.size() == 1) {
    AudioBuffer& b = into.buffers[0];
    const size_t bytes = count * channels_ * sizeof(float);
    if (!b.data || b.dataByteSize < bytes) return -2;
    std::memcpy(b.data, from, bytes);
    b.dataByteSize = static_cast<uint32_t>(bytes);
    return 0;
  }
  if (into.buffers.size() != channels_) return -3;
  const size_t bytes = count * sizeof(float);
  for (const AudioBuffer& b : into.buffers)
    if (!b.data || b.dataByteSize < bytes) return -2;
  for (uint32_t c = 0; c < channels_; ++c) {
    auto* out = static_cast<float*>(into.buffers[c].data);
    for (size_t i = 0; i < count; ++i) out[i] = from[i * channels_ + c];
    into.buffers[c].dataByteSize = static_cast<uint32_t>(bytes);
  }
  return 0;
}

PulseStream::PulseStream(const StreamConfiguration& configuration, StreamDelegate* delegate)
    : rate_(configuration.sampleRate >= 8000 && configuration.sampleRate <= 192000
                ? static_cast<uint32_t>(configuration.sampleRate)
                : 48000),
      channels_(configuration.channelCount >= 1 && configuration.channelCount <= 8
                    ? static_cast<uint8_t>(configuration.channelCount)
                    : 2),
      delegate_(delegate),
      timeline_(rate_, channels_) {}

// Runs on whichever thread drops the last reference: the owner's, a
// delivery's queue or a completion's; never the loop thread, which holds
// no reference of its own past a callback.
PulseStream::~PulseStream() {
  StreamCompletion start, stop;
  {
    LoopLock lock;
    auto& streams = startedStreams();
    streams.erase(std::remove(streams.begin(), streams.end(), this), streams.end());
    phase_ = Phase::Ended;
    dispose();
    leaveConnection(this, context_);
    context_ = nullptr;
    start = std::move(startCompletion_);
    stop = std::move(stopCompletion_);
  }
  completeLater(std::move(start), pulseError(PA_ERR_KILLED));
  completeLater(std::move(stop), std::nullopt);
  std::lock_guard<std::mutex> lock(outputsMutex_);
  for (auto& o : outputs_) dispatch_release(o.queue);
  outputs_.clear();
}

bool PulseStream::addStreamOutput(StreamOutput* output, int64_t type, dispatch_queue_t queue) {
  if (type != kStreamOutputAudio || !output || !queue) return false;
  std::lock_guard<std::mutex> lock(outputsMutex_);
  for (auto& o : outputs_)
    if (o.output == output) return false;
  dispatch_retain(queue);
  outputs_.push_back(Output{output, queue});
  return true;
}

void PulseStream::removeStreamOutput(StreamOutput* output, int64_t type) {
  if (type != kStreamOutputAudio) return;
  std::lock_guard<std::mutex> lock(outputsMutex_);
  for (auto it = outputs_.begin(); it != outputs_.end(); ++it) {
    if (it->output != output) continue;
    dispatch_release(it->queue);
    outputs_.erase(it);
    return;
  }
}

bool PulseStream::hasOutput(StreamOutput* output) {
  std::lock_guard<std::mutex> lock(outputsMutex_);
  return std::any_of(outputs_.begin(), outputs_.end(),
                     [output](const Output& o) { return o.output == output; });
}

// On the output's queue, run from the loop thread with the loop lock held
// (see `post`), so the stream passed is alive.
void PulseStream::deliver(void* context) {
  const auto* d = static_cast<const Delivery*>(context);
  if (d->stream->hasOutput(d->output)) d->output->stream(d->stream, d->buffer, kStreamOutputAudio);
}

// Main queue. Everything after the connect request happens in loop
// callbacks: the connection, the default output's monitor, the record
// stream; the completion runs once the stream is ready or has failed.
void PulseStream::startCapture(StreamCompletion completion) {
  LoopLock lock;
  if (phase_ != Phase::Idle) {
    completeLater(std::move(completion), pulseError(PA_ERR_BADSTATE));
    return;
  }
  phase_ = Phase::Starting;
  startedStreams().push_back(this);
  startCompletion_ = std::move(completion);
  context_ = joinConnection(this);
  if (!context_) return failStart(loopApi() ? PA_ERR_CONNECTIONREFUSED : PA_ERR_INTERNAL);
  startTimer_ = libpulse().pa_context_rttime_new(context_, libpulse().pa_rtclock_now() + kStartBoundUsec,
                                                 &PulseStream::onStartTimeout, this);
  // A connection the microphone made ready before says so no more.
  if (libpulse().pa_context_get_state(context_) == PA_CONTEXT_READY) reconcile();
}

// Main queue. The completion runs once the server has closed the record
// stream (or at once when there is none left to close).
void PulseStream::stopCapture(StreamCompletion completion) {
  catchUp();
  LoopLock lock;
  switch (phase_) {
    case Phase::Idle:
    case Phase::Ended:
    case Phase::Stopping:
      if (phase_ == Phase::Idle) phase_ = Phase::Ended;
      completeLater(std::move(completion), std::nullopt);
      return;
    case Phase::Starting:
      failStart(PA_ERR_KILLED);
      completeLater(std::move(completion), std::nullopt);
      return;
    case Phase::Running:
      break;
  }
  // What was recorded before the stop is delivered; what comes after is not.
  finishJoin();
  pump();
  flushGathered();
  phase_ = Phase::Stopping;
  stopCompletion_ = std::move(completion);
  cancelOperation(pending_);
  reconciling_ = false;
  if (record_ && libpulse().pa_stream_get_state(record_) == PA_STREAM_READY &&
      libpulse().pa_stream_disconnect(record_) == 0)
    return;
  finishStop();
}

// Lock held: releases the record stream, any query under way and the start
// timer. The context stays until the destructor, because this may run
// inside one of its callbacks.
void PulseStream::dispose() {
  cancelOperation(pending_);
  reconciling_ = false;
  reconcileAgain_ = false;
  dropRecord();
  while (!standbys_.empty()) closeStandby(standbys_.back().get());
  if (startTimer_) {
    if (pa_mainloop_api* api = loopApi()) api->time_free(startTimer_);
    startTimer_ = nullptr;
  }
  if (deliveryDue_) {
    if (pa_mainloop_api* api = loopApi()) api->defer_free(deliveryDue_);
    deliveryDue_ = nullptr;
  }
}

void PulseStream::dropRecord() {
  finishJoin();
  pump();
  flushGathered();
  onTarget_ = false;
  timeline_.dropBefore(timeline_.end());
  timeline_.resetClock();
  if (!record_) return;
  closeStream(record_);
  record_ = nullptr;
}

void PulseStream::failStart(int error) {
  phase_ = Phase::Ended;
  dispose();
  completeLater(std::move(startCompletion_), pulseError(error));
  startCompletion_ = nullptr;
}

// Loop thread. The stream is told while the loop lock is held, so the
// stream cannot be destroyed during the call.
void PulseStream::stopOnOwn(int error) {
  if (phase_ != Phase::Running) return;
  phase_ = Phase::Ended;
  dispose();
  if (delegate_) delegate_->stream(this, pulseError(error));
}

void PulseStream::finishStop() {
  if (phase_ != Phase::Stopping) return;
  phase_ = Phase::Ended;
  dispose();
  completeLater(std::move(stopCompletion_), std::nullopt);
  stopCompletion_ = nullptr;
}

void PulseStream::onStartTimeout(pa_mainloop_api* api, pa_time_event* event, const struct timeval*,
                                 void* userdata) {
  auto* self = static_cast<PulseStream*>(userdata);
  api->time_free(event);
  self->startTimer_ = nullptr;
  if (self->phase_ == Phase::Starting) self->failStart(PA_ERR_TIMEOUT);
}

void PulseStream::connectionState(pa_context* context, pa_context_state_t state) {
  switch (state) {
    case PA_CONTEXT_READY:
      if (phase_ != Phase::Starting) return;
      reconcile();
      return;
    case PA_CONTEXT_FAILED:
    case PA_CONTEXT_TERMINATED: {
      int error = libpulse().pa_context_errno(context);
      if (error == PA_OK) error = PA_ERR_CONNECTIONTERMINATED;
      if (phase_ == Phase::Starting)
        failStart(error);
      else if (phase_ == Phase::Running)
        stopOnOwn(error);
      else
        finishStop();
      return;
    }
    default:
      return;
  }
}

// Loop thread. A new default output, a sink that came or went: find out
// where the recording belongs now.
void PulseStream::connectionEvent(pa_context*, pa_subscription_event_type_t type, uint32_t) {
  const auto facility = type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
  const auto kind = type & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
  if (facility == PA_SUBSCRIPTION_EVENT_SERVER ||
      (facility == PA_SUBSCRIPTION_EVENT_SINK && kind != PA_SUBSCRIPTION_EVENT_CHANGE)) {
    if (changeSeen_ == 0) changeSeen_ = static_cast<int64_t>(libpulse().pa_rtclock_now());
    reconcile();
  }
}

// Loop thread. One pass asks the server for its default sink and every
// output's monitor, then records from the default's monitor: connects there
// on the first pass, goes over to another stream on later ones. Events
// during a pass ask for one more.
void PulseStream::reconcile() {
  if (phase_ != Phase::Starting && phase_ != Phase::Running) return;
  if (reconciling_) {
    reconcileAgain_ = true;
    return;
  }
  reconciling_ = true;
  pending_ = libpulse().pa_context_get_server_info(context_, &PulseStream::onServerInfo, this);
  // Without an operation the connection is failing; its state callback
  // ends the stream.
  if (!pending_) reconciling_ = false;
}

void PulseStream::finishReconcile() {
  reconciling_ = false;
  if (reconcileAgain_) {
    reconcileAgain_ = false;
    reconcile();
  }
}

void PulseStream::onServerInfo(pa_context* context, const pa_server_info* info, void* userdata) {
  auto* self = static_cast<PulseStream*>(userdata);
  releaseOperation(self->pending_);
  if (!info) return self->finishReconcile();
  const std::string sink = info->default_sink_name ? info->default_sink_name : "";
  if (sink.empty()) {
    // No output left at all: nothing to record.
    if (self->phase_ == Phase::Starting) return self->failStart(PA_ERR_NOENTITY);
    return self->stopOnOwn(PA_ERR_NOENTITY);
  }
  self->defaultSink_ = sink;
  self->foundMonitor_.clear();
  self->monitors_.clear();
  self->pending_ = libpulse().pa_context_get_sink_info_list(context, &PulseStream::onSinkInfo, self);
  if (!self->pending_) self->reconciling_ = false;
}

void PulseStream::onSinkInfo(pa_context* context, const pa_sink_info* info, int eol, void* userdata) {
  auto* self = static_cast<PulseStream*>(userdata);
  if (eol == 0) {
    if (!info || !info->monitor_source_name) return;
    self->monitors_.push_back(info->monitor_source_name);
    if (info->name && self->defaultSink_ == info->name) self->foundMonitor_ = info->monitor_source_name;
    return;
  }
  releaseOperation(self->pending_);
  if (self->foundMonitor_.empty()) {
    // The default sink went away between the two questions; its removal
    // brings another pass, but a server that keeps naming a sink it does
    // not have ends the stream.
    if (++self->misses_ >= kMaxMisses) {
      if (self->phase_ == Phase::Starting) return self->failStart(PA_ERR_NOENTITY);
      return self->stopOnOwn(PA_ERR_NOENTITY);
    }
    self->reconcileAgain_ = true;
    return self->finishReconcile();
  }
  self->misses_ = 0;
  self->target_ = self->foundMonitor_;
  const int64_t changeSeen = std::exchange(self->changeSeen_, 0);
  if (!self->record_) {
    self->connectRecord();
    self->syncStandbys();
    return self->finishReconcile();
  }
  const char* device = libpulse().pa_stream_get_device_name(self->record_);
  if (device && self->target_ == device) {
    self->onTarget_ = true;
    self->syncStandbys();
    return self->finishReconcile();
  }
  Standby* standby = self->standbyOn(self->target_);
  if (standby && !self->join_ && self->onTarget_ && self->timeline_.timed() && standby->timeline.timed()) {
    self->switchTo(standby, changeSeen != 0 ? changeSeen : static_cast<int64_t>(libpulse().pa_rtclock_now()));
    self->syncStandbys();
    return self->finishReconcile();
  }
  // No standby with a clock there yet (an output that has just appeared):
  // the record stream moves there, or, when it cannot, a new one goes
  // there and the old one stays on its monitor as its standby; either way
  // what the output rendered before the stream arrived is lost.
  if (standby) self->closeStandby(standby);
  self->finishJoin();
  if (self->recordMovable_) {
    self->syncStandbys();
    // The server names the monitor only by its name, so the move goes by
    // name; the stream keeps reading (from the old monitor, or not at all
    // when the server parked it elsewhere) until the move is done.
    self->pending_ = libpulse().pa_context_move_source_output_by_name(
        context, libpulse().pa_stream_get_index(self->record_), self->target_.c_str(),
        &PulseStream::onMoveDone, self);
    if (!self->pending_) self->reconciling_ = false;
    return;
  }
  self->pump();
  self->flushGathered();
  if (device) {
    auto old = std::make_unique<Standby>(
        Standby{self, self->record_, device,
                std::exchange(self->timeline_, MonitorTimeline(self->rate_, self->channels_))});
    self->watchStandby(old.get());
    self->standbys_.push_back(std::move(old));
  } else {
    closeStream(self->record_);
  }
  self->record_ = nullptr;
  self->onTarget_ = false;
  self->connectRecord();
  self->syncStandbys();
  self->finishReconcile();
}

void PulseStream::onMoveDone(pa_context*, int success, void* userdata) {
  auto* self = static_cast<PulseStream*>(userdata);
  releaseOperation(self->pending_);
  if (success) {
    self->onTarget_ = true;
    self->timeline_.resetClock();
  } else {
    // The server would not move it (the stream may be on its way out):
    // record from the monitor on a fresh stream instead.
    self->dropRecord();
    self->connectRecord();
  }
  self->finishReconcile();
}

// Loop thread: a new record stream on `target_`.
void PulseStream::connectRecord() {
  const pa_sample_spec sampleSpec{PA_SAMPLE_FLOAT32NE, rate_, channels_};
  record_ = libpulse().pa_stream_new(context_, "System audio", &sampleSpec, nullptr);
  if (!record_) {
    const int error = libpulse().pa_context_errno(context_);
    if (phase_ == Phase::Starting) return failStart(error);
    return stopOnOwn(error);
  }
  libpulse().pa_stream_set_state_callback(record_, &PulseStream::onStreamState, this);
  libpulse().pa_stream_set_read_callback(record_, &PulseStream::onStreamRead, this);
  libpulse().pa_stream_set_moved_callback(record_, &PulseStream::onStreamMoved, this);
  const pa_buffer_attr attr = recordAttributes(kFragmentUsec, sampleSpec);
  // Movable: when an output appears and becomes the default at once, PipeWire's
  // session manager carries this stream there along with the players, sooner
  // than a move from this side.
  recordMovable_ = true;
  if (libpulse().pa_stream_connect_record(record_, target_.c_str(), &attr, PA_STREAM_ADJUST_LATENCY) < 0) {
    const int error = libpulse().pa_context_errno(context_);
    dropRecord();
    if (phase_ == Phase::Starting) return failStart(error);
    return stopOnOwn(error);
  }
}

void PulseStream::onStreamState(pa_stream* stream, void* userdata) {
  auto* self = static_cast<PulseStream*>(userdata);
  switch (libpulse().pa_stream_get_state(stream)) {
    case PA_STREAM_READY: {
      const char* device = libpulse().pa_stream_get_device_name(stream);
      self->onTarget_ = device && self->target_ == device;
      if (self->phase_ == Phase::Starting) {
        self->phase_ = Phase::Running;
        if (self->startTimer_) {
          if (pa_mainloop_api* api = loopApi()) api->time_free(self->startTimer_);
          self->startTimer_ = nullptr;
        }
        completeLater(std::move(self->startCompletion_), std::nullopt);
        self->startCompletion_ = nullptr;
      }
      if (!self->onTarget_) self->reconcile();
      return;
    }
    case PA_STREAM_FAILED: {
      int error = libpulse().pa_context_errno(libpulse().pa_stream_get_context(stream));
      if (error == PA_OK) error = PA_ERR_KILLED;
      if (self->phase_ == Phase::Starting) return self->failStart(error);
      if (self->phase_ == Phase::Stopping) return self->finishStop();
      if (self->phase_ != Phase::Running) return;
      // The server dropped the stream (its monitor went and it could not be
      // carried elsewhere). If the connection is still up, the next pass
      // records from the current default's monitor, or ends the stream
      // when no output is left.
      self->dropRecord();
      if (libpulse().pa_context_get_state(self->context_) != PA_CONTEXT_READY) return self->stopOnOwn(error);
      if (++self->recordFailures_ >= kMaxMisses) return self->stopOnOwn(error);
      self->reconcile();
      return;
    }
    case PA_STREAM_TERMINATED:
      if (self->phase_ == Phase::Stopping) self->finishStop();
      return;
    default:
      return;
  }
}

// Loop thread. A move the server made on its own (the recorded sink went
// away) may have parked the stream on a microphone; until the stream is
// back on the default output's monitor its data is not system audio and is
// dropped.
void PulseStream::onStreamMoved(pa_stream* stream, void* userdata) {
  auto* self = static_cast<PulseStream*>(userdata);
  const char* device = libpulse().pa_stream_get_device_name(stream);
  // What was gathered came from where the stream was.
  self->finishJoin();
  self->pump();
  self->flushGathered();
  self->timeline_.resetClock();
  self->onTarget_ = device && self->target_ == device;
  if (!self->onTarget_) self->reconcile();
}

void PulseStream::onStreamRead(pa_stream* stream, size_t, void* userdata) {
  auto* self = static_cast<PulseStream*>(userdata);
  const auto now = static_cast<int64_t>(libpulse().pa_rtclock_now());
  const size_t frameBytes = self->channels_ * sizeof(float);
  readFragments(stream, [&](const void* data, size_t bytes) {
    if (self->phase_ == Phase::Running && self->onTarget_)
      self->timeline_.append(static_cast<const float*>(data), bytes / frameBytes, now);
    return true;
  });
  self->pump();
  self->deliverAfterThisPass();
}

// Loop thread. libpulse calls a read callback once per piece, and one
// wakeup of the loop brings many: what to deliver is decided once the
// whole pass has been read.
void PulseStream::deliverAfterThisPass() {
  pa_mainloop_api* api = loopApi();
  if (!deliveryDue_) deliveryDue_ = api->defer_new(api, &PulseStream::onDeliveryDue, this);
  if (deliveryDue_) api->defer_enable(deliveryDue_, 1);
}

void PulseStream::onDeliveryDue(pa_mainloop_api* api, pa_defer_event* event, void* userdata) {
  api->defer_enable(event, 0);
  static_cast<PulseStream*>(userdata)->deliverGathered();
}

// Loop thread. Gathers what the record stream read; during a join, what
// the old and the new stream read, as far as both have it.
void PulseStream::pump() {
  std::vector<float>& chunk = pumped_;
  auto gather = [&](size_t frames) { emit(chunk.data(), frames * channels_ * sizeof(float)); };
  if (join_) {
    Join& j = *join_;
    const MonitorTimeline* from = j.from ? &j.from->timeline : nullptr;
    const bool late = static_cast<int64_t>(libpulse().pa_rtclock_now()) > j.deadline;
    // The old stream's frames up to here are there, or will never be.
    const uint64_t fromUntil = from ? std::min(from->end(), j.from->until) : 0;
    const bool ended = !from || !j.from->stream || late || from->end() >= j.from->until;
    const uint64_t fromEnd = ended ? UINT64_MAX : from->end();
    auto fromFrame = [&](uint64_t frame, float* out) {
      if (from && frame >= from->begin() && frame < fromUntil)
        for (uint32_t c = 0; c < channels_; ++c) out[c] += from->frame(frame)[c];
    };
    while (j.next < std::min(j.sumFrom, fromEnd)) {
      const size_t frames = static_cast<size_t>(
          std::min<uint64_t>({j.sumFrom, fromEnd, j.next + PulseStream::kMaxFramesPerBuffer}) - j.next);
      chunk.assign(frames * channels_, 0.0f);
      for (size_t i = 0; i < frames; ++i) fromFrame(j.next + i, &chunk[i * channels_]);
      gather(frames);
      j.next += frames;
    }
    if (j.next < j.sumFrom) return;
    const uint64_t quietFrames = kQuietUsec * rate_ / 1000000;
    for (;;) {
      const uint64_t to = j.to + (j.next - j.sumFrom);
      if (j.next >= j.sumMost || (j.next >= j.sumLeast && j.quiet >= quietFrames)) {
        timeline_.dropBefore(to);
        break;
      }
      if (to >= timeline_.end() || j.next >= fromEnd) return;
      const size_t frames = static_cast<size_t>(std::min<uint64_t>(
          {j.sumMost - j.next, timeline_.end() - to, fromEnd - j.next, PulseStream::kMaxFramesPerBuffer}));
      chunk.resize(frames * channels_);
      timeline_.copy(to, frames, chunk.data());
      size_t used = 0;
      while (used < frames) {
        float* out = &chunk[used * channels_];
        bool silent = true;
        if (from && j.next + used >= from->begin() && j.next + used < fromUntil) {
          const float* old = from->frame(j.next + used);
          for (uint32_t c = 0; c < channels_; ++c) {
            out[c] += old[c];
            silent = silent && std::fabs(old[c]) < kSilence;
          }
        }
        j.quiet = silent ? j.quiet + 1 : 0;
        ++used;
        if (j.next + used >= j.sumLeast && j.quiet >= quietFrames) break;
      }
      gather(used);
      j.next += used;
    }
    endJoin();
  }
  const size_t frames = static_cast<size_t>(timeline_.end() - timeline_.begin());
  if (frames == 0) return;
  chunk.resize(frames * channels_);
  timeline_.copy(timeline_.begin(), frames, chunk.data());
  gather(frames);
  timeline_.dropBefore(timeline_.end());
}

// Loop thread. A standby on the monitor of every output but the default;
// none on a monitor that is gone.
void PulseStream::syncStandbys() {
  if (phase_ != Phase::Starting && phase_ != Phase::Running) return;
  for (size_t i = standbys_.size(); i-- > 0;) {
    Standby* standby = standbys_[i].get();
    if (join_ && join_->from == standby) continue;
    if (standby->monitor == target_ ||
        std::find(monitors_.begin(), monitors_.end(), standby->monitor) == monitors_.end())
      closeStandby(standby);
  }
  for (const std::string& monitor : monitors_)
    if (monitor != target_ && !standbyOn(monitor)) openStandby(monitor);
}

void PulseStream::watchStandby(Standby* standby) {
  libpulse().pa_stream_set_state_callback(standby->stream, &PulseStream::onStandbyState, standby);
  libpulse().pa_stream_set_read_callback(standby->stream, &PulseStream::onStandbyRead, standby);
  libpulse().pa_stream_set_moved_callback(standby->stream, &PulseStream::onStandbyMoved, standby);
}

PulseStream::Standby* PulseStream::standbyOn(const std::string& monitor) {
  for (auto& standby : standbys_)
    if (standby->stream && standby->until == UINT64_MAX && standby->monitor == monitor) return standby.get();
  return nullptr;
}

// Loop thread. Like the record stream (the same fragment, so that the
// output renders no further ahead than it would for the recording), but a
// failure only loses the standby.
void PulseStream::openStandby(const std::string& monitor) {
  const pa_sample_spec sampleSpec{PA_SAMPLE_FLOAT32NE, rate_, channels_};
  pa_stream* stream = libpulse().pa_stream_new(context_, "System audio", &sampleSpec, nullptr);
  if (!stream) return;
  auto standby = std::make_unique<Standby>(Standby{this, stream, monitor, MonitorTimeline(rate_, channels_)});
  watchStandby(standby.get());
  const pa_buffer_attr attr = recordAttributes(kFragmentUsec, sampleSpec);
  // Not movable: a server must leave a standby where it is (PipeWire's
  // session manager would otherwise take it off its monitor and back while
  // it settles a new default, losing the very audio it is there for).
  if (libpulse().pa_stream_connect_record(stream, monitor.c_str(), &attr, kStandbyFlags) < 0) {
    closeStream(stream);
    return;
  }
  standbys_.push_back(std::move(standby));
}

// Loop thread. A standby's stream is of no use any more; during a join
// the audio it read before stays part of the join.
void PulseStream::loseStandby(Standby* standby) {
  if (!join_ || join_->from != standby) return closeStandby(standby);
  closeStream(standby->stream);
  standby->stream = nullptr;
}

// Loop thread (or lock held). Ends a join now (a stop, a pause, another
// change): what the old stream has not read yet counts as silence, and
// what the new one read is handed over.
void PulseStream::finishJoin() {
  if (!join_) return;
  join_->deadline = INT64_MIN;
  pump();
  endJoin();
}

// What the new stream read before the frame that goes with the old
// stream's next one is either handed over already or from before the
// switch: it goes, so that nothing comes twice.
void PulseStream::endJoin() {
  if (!join_) return;
  const Join& j = *join_;
  timeline_.dropBefore(j.to + (j.next > j.sumFrom ? j.next - j.sumFrom : 0));
  Standby* from = j.from;
  join_.reset();
  if (!from || (from->stream && from->until == UINT64_MAX)) return;
  const bool moved = from->stream != nullptr;
  closeStandby(from);
  if (moved) reconcile();
}

void PulseStream::closeStandby(Standby* standby) {
  if (join_ && join_->from == standby) join_->from = nullptr;
  if (standby->stream) closeStream(standby->stream);
  standbys_.erase(std::find_if(standbys_.begin(), standbys_.end(),
                               [standby](const auto& s) { return s.get() == standby; }));
}

// Loop thread. The standby on the new default's monitor becomes the record
// stream and the record stream the standby on the old one; the join places
// the server's news in both streams' time.
void PulseStream::switchTo(Standby* standby, int64_t news) {
  const auto now = static_cast<int64_t>(libpulse().pa_rtclock_now());
  const MonitorTimeline& from = timeline_;
  const MonitorTimeline& to = standby->timeline;
  Join join{standby, from.begin(), 0, 0, 0, 0, 0, now + kJoinMostUsec + kJoinWaitUsec};
  join.sumFrom = std::max<int64_t>(from.frameAt(news - kJoinUsec), static_cast<int64_t>(from.begin()));
  const int64_t start = from.timeOf(join.sumFrom);
  join.to = std::max<int64_t>(to.frameAt(start), static_cast<int64_t>(to.begin()));
  auto framesTo = [&](int64_t usec) {
    return join.sumFrom + static_cast<uint64_t>(std::max<int64_t>(0, usec - start) * rate_ / 1000000);
  };
  join.sumLeast = framesTo(news + kJoinUsec);
  join.sumMost = framesTo(news + kJoinMostUsec);
  const char* device = libpulse().pa_stream_get_device_name(record_);
  std::swap(record_, standby->stream);
  std::swap(timeline_, standby->timeline);
  standby->monitor = device ? device : "";
  libpulse().pa_stream_set_state_callback(record_, &PulseStream::onStreamState, this);
  libpulse().pa_stream_set_read_callback(record_, &PulseStream::onStreamRead, this);
  libpulse().pa_stream_set_moved_callback(record_, &PulseStream::onStreamMoved, this);
  watchStandby(standby);
  onTarget_ = true;
  recordMovable_ = false;
  join_ = join;
  pump();
}

// Loop thread. A standby that failed or that the server moved elsewhere
// (its output went) is of no use any more.
void PulseStream::onStandbyState(pa_stream* stream, void* userdata) {
  auto* standby = static_cast<Standby*>(userdata);
  const auto state = libpulse().pa_stream_get_state(stream);
  if (state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED) standby->owner->loseStandby(standby);
}

// A former record stream, movable, that the server took elsewhere (as
// PipeWire's session manager does with a stream on the old default's
// monitor): a standby that stays put replaces it. During a join, what it
// read of the old output still comes in after the news of the move, and
// belongs to the join.
void PulseStream::onStandbyMoved(pa_stream*, void* userdata) {
  auto* standby = static_cast<Standby*>(userdata);
  PulseStream* self = standby->owner;
  if (self->join_ && self->join_->from == standby) {
    const int64_t at = standby->timeline.frameAt(static_cast<int64_t>(libpulse().pa_rtclock_now()));
    standby->until =
        static_cast<uint64_t>(std::max<int64_t>(at, static_cast<int64_t>(standby->timeline.begin())));
    return;
  }
  self->closeStandby(standby);
  self->reconcile();
}

void PulseStream::onStandbyRead(pa_stream* stream, size_t, void* userdata) {
  auto* standby = static_cast<Standby*>(userdata);
  PulseStream* self = standby->owner;
  const auto now = static_cast<int64_t>(libpulse().pa_rtclock_now());
  const size_t frameBytes = self->channels_ * sizeof(float);
  readFragments(stream, [&](const void* data, size_t bytes) {
    standby->timeline.append(static_cast<const float*>(data), bytes / frameBytes, now);
    return true;
  });
  MonitorTimeline& timeline = standby->timeline;
  const uint64_t keep = kStandbyKeepUsec * self->rate_ / 1000000;
  uint64_t first = timeline.end() > keep ? timeline.end() - keep : 0;
  if (self->join_ && self->join_->from == standby) first = std::min(first, self->join_->next);
  timeline.dropBefore(first);
  if (self->join_) {
    self->pump();
    self->deliverAfterThisPass();
  }
}

// Loop thread, lock held. Gathers the fragment; a hole in the stream
// becomes silence so that the timeline stays whole. Only a full buffer goes
// out from here: the rest waits for the end of the read.
void PulseStream::emit(const void* data, size_t bytes) {
  if (phase_ != Phase::Running || !onTarget_) return;
  recordFailures_ = 0;
  const size_t frameSamples = channels_;
  const size_t frames = bytes / (frameSamples * sizeof(float));
  if (frames == 0) return;
  const size_t samples = frames * frameSamples;
  if (data) {
    const auto* in = static_cast<const float*>(data);
    gathered_.insert(gathered_.end(), in, in + samples);
  } else {
    gathered_.resize(gathered_.size() + samples, 0.0f);
  }
  const size_t full = kMaxFramesPerBuffer * frameSamples;
  if (gathered_.size() < full) return;
  size_t done = 0;
  for (; gathered_.size() - done >= full; done += full) post(gathered_.data() + done, kMaxFramesPerBuffer);
  gathered_.erase(gathered_.begin(), gathered_.begin() + static_cast<std::ptrdiff_t>(done));
}

// Loop thread, lock held, after the pass of the loop that read. A backlog (after the
// process or the server stalled) arrives as a run of reads in quick
// succession. Holding back what comes sooner than kMinDeliveryUsec after
// the last buffer, or while that buffer is still being converted, gathers
// the backlog into a few large buffers instead of a burst of small ones
// that would outrun the conversion queue. In steady state the loop's own
// spacing of its wakeups gathers the pieces of a low-latency sink, and
// every wakeup hands over what it brought.
void PulseStream::deliverGathered() {
  if (gathered_.empty() || inFlight_->load() > 0) return;
  if (libpulse().pa_rtclock_now() - lastDelivery_ < kMinDeliveryUsec) return;
  flushGathered();
}

// Lock held. Delivers what was gathered while the recording is still
// wanted (running, or stopping with what came before the stop); drops it
// otherwise.
void PulseStream::flushGathered() {
  if (gathered_.empty()) return;
  if (phase_ == Phase::Running) {
    lastDelivery_ = libpulse().pa_rtclock_now();
    const size_t frames = gathered_.size() / channels_;
    for (size_t done = 0; done < frames; done += kMaxFramesPerBuffer)
      post(gathered_.data() + done * channels_, std::min(kMaxFramesPerBuffer, frames - done));
  }
  gathered_.clear();
}

// Lock held. Copies `frames` frames (at most kMaxFramesPerBuffer) into one
// buffer and hands it to each output on the output's queue. The hand-over
// is synchronous: libdispatch runs the output's code on its queue but on
// this thread, so a buffer costs no thread wakeup to get there (the
// session's queue only admits the buffer and posts its conversion). The
// stream cannot go away meanwhile: its destructor takes the loop lock this
// thread holds.
void PulseStream::post(const float* samples, size_t frames) {
  // Expired while the stream is being destroyed on another thread (which
  // waits for the loop lock held here): nothing more goes out.
  if (frames == 0 || weak_from_this().expired()) return;
  std::vector<Output> outputs;
  {
    // Each queue is kept for the hand-over: its output may be removed, and
    // the queue released, meanwhile.
    std::lock_guard<std::mutex> lock(outputsMutex_);
    outputs = outputs_;
    for (const Output& o : outputs) dispatch_retain(o.queue);
  }
  if (outputs.empty()) return;
  std::vector<float> chunk(samples, samples + frames * channels_);
  auto buffer =
      std::make_shared<PulseSampleBuffer>(std::move(chunk), channels_, static_cast<double>(rate_), inFlight_);
  for (const Output& o : outputs) {
    Delivery delivery{this, o.output, buffer};
    dispatch_sync_f(o.queue, &delivery, &PulseStream::deliver);
    dispatch_release(o.queue);
  }
}

void PulseScreenCapture::getShareableContent(bool, bool, ShareableContentCompletion completion) {
  struct Request {
    ShareableContentCompletion completion;
  };
  // The questions block (bounded), so they run on a global queue; the
  // completion runs there too.
  dispatch_async_f(dispatch_get_global_queue(DISPATCH_QUEUE_PRIORITY_DEFAULT, 0),
                   new Request{std::move(completion)}, [](void* context) {
                     std::unique_ptr<Request> request(static_cast<Request*>(context));
                     const auto deadline = Clock::now() + kQueryBound;
                     int error = 0;
                     pa_context* c = connectContext("Zentrell displays", deadline, &error);
                     if (!c) return request->completion(std::nullopt, pulseError(error));
                     auto defaults = queryDefaults(c, deadline);
                     if (!defaults) {
                       releaseContext(c);
                       return request->completion(std::nullopt, pulseError(PA_ERR_TIMEOUT));
                     }
                     ShareableContent content;
                     if (!defaults->sink.empty()) {
                       if (auto sink = querySink(c, defaults->sink, deadline)) {
                         auto display = std::make_shared<Display>();
                         display->displayID = sink->index;
                         display->name = sink->description.empty() ? sink->name : sink->description;
                         content.displays.push_back(std::move(display));
                       }
                     }
                     releaseContext(c);
                     request->completion(std::move(content), std::nullopt);
                   });
}

std::shared_ptr<Stream> PulseScreenCapture::makeStream(const ContentFilter&,
                                                       const StreamConfiguration& configuration,
                                                       StreamDelegate* delegate) {
  return std::make_shared<PulseStream>(configuration, delegate);
}

}  // namespace zt::platform::pulse
