#include "platform/pulse/pulse_engine.h"

#include "platform/pulse/pulse_stream.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace zt::platform::pulse {

namespace {

// How long the server may take to answer a question, and to accept or
// refuse the record stream.
constexpr pa_usec_t kQueryBound = 2 * PA_USEC_PER_SEC;
constexpr pa_usec_t kStartBound = 3 * PA_USEC_PER_SEC;
constexpr pa_usec_t kFragmentUsec = kMicrophoneFragmentUsec;

// No usable input on a server that answers; and no server at all.
AudioFormat noInput() { return AudioFormat{SampleType::Float32, 48000, 0, true}; }
AudioFormat noServer() { return AudioFormat{SampleType::Float32, 0, 0, true}; }

}  // namespace

PulseEngine::~PulseEngine() {
  stop();
  LoopLock lock;
  finishFormat(noServer());
  observers_->entries.clear();
  cancelOperation(serverQuery_);
  leaveConnection(this, context_);
  context_ = nullptr;
}

// Lock held. The engine's subscription and its record stream are on the
// one shared connection, so they fail together when the server goes away.
// A previous connection that failed has no stream left to serve.
bool PulseEngine::connect() {
  teardownStream();
  finishStart(false);
  leaveConnection(this, context_);
  connected_ = false;
  context_ = joinConnection(this);
  return context_ != nullptr;
}

void PulseEngine::inputFormat(FormatCompletion completion) {
  LoopLock lock;
  // One question at a time; a second one meanwhile learns nothing.
  if (formatCompletion_) return answerLater(std::move(completion), noServer());
  formatCompletion_ = std::move(completion);
  auto state = [this] { return libpulse().pa_context_get_state(context_); };
  const bool usable = context_ && state() != PA_CONTEXT_FAILED && state() != PA_CONTEXT_TERMINATED;
  if (!usable && !connect()) return finishFormat(noServer());
  if (!formatCompletion_) return;  // the connection failed at once
  formatTimer_ = armTimer(context_, kQueryBound, &PulseEngine::onFormatTimeout, this);
  // A connection on its way asks once it is ready; one that another user
  // made ready before asks now.
  if (state() == PA_CONTEXT_READY) {
    connected_ = true;
    askDefaults();
  }
}

// Lock held, context ready.
void PulseEngine::askDefaults() {
  cancelOperation(formatQuery_);
  formatQuery_ = libpulse().pa_context_get_server_info(context_, &PulseEngine::onDefaults, this);
  if (!formatQuery_) finishFormat(noServer());
}

void PulseEngine::onDefaults(pa_context* context, const pa_server_info* info, void* userdata) {
  auto* self = static_cast<PulseEngine*>(userdata);
  releaseOperation(self->formatQuery_);
  if (!info) return self->finishFormat(noServer());
  if (!info->default_source_name || !*info->default_source_name) return self->finishFormat(noInput());
  self->foundSource_.reset();
  self->formatQuery_ = libpulse().pa_context_get_source_info_by_name(context, info->default_source_name,
                                                                     &PulseEngine::onSource, self);
  if (!self->formatQuery_) self->finishFormat(noServer());
}

void PulseEngine::onSource(pa_context*, const pa_source_info* info, int eol, void* userdata) {
  auto* self = static_cast<PulseEngine*>(userdata);
  if (eol == 0) {
    if (info && !self->foundSource_) self->foundSource_ = sourceDetails(*info);
    return;
  }
  releaseOperation(self->formatQuery_);
  const auto source = self->foundSource_;
  // A monitor as the default source would record the system audio a second
  // time, so it does not count as a microphone.
  if (!source || source->isMonitor || source->sampleSpec.channels == 0) return self->finishFormat(noInput());
  self->source_ = source;
  self->finishFormat(AudioFormat{SampleType::Float32, static_cast<double>(source->sampleSpec.rate),
                                 source->sampleSpec.channels, true});
}

void PulseEngine::onFormatTimeout(pa_mainloop_api* api, pa_time_event* event, const struct timeval*,
                                  void* userdata) {
  auto* self = static_cast<PulseEngine*>(userdata);
  api->time_free(event);
  self->formatTimer_ = nullptr;
  self->finishFormat(noServer());
}

// Lock held. Answers the pending question, if any, once.
void PulseEngine::finishFormat(AudioFormat format) {
  cancelTimer(formatTimer_);
  cancelOperation(formatQuery_);
  foundSource_.reset();
  if (formatCompletion_) answerLater(std::exchange(formatCompletion_, nullptr), format);
}

void PulseEngine::installTap(uint32_t bus, uint32_t bufferSize, const AudioFormat& format, TapBlock block) {
  LoopLock lock;
  tapFrames_ = bufferSize > 0 ? bufferSize : 1024;
  tapFormat_ = format;
  tap_ = std::move(block);
  pending_.reset();
  pendingFrames_ = 0;
}

void PulseEngine::removeTap(uint32_t bus) {
  LoopLock lock;
  tap_ = nullptr;
  pending_.reset();
  pendingFrames_ = 0;
}

void PulseEngine::start(StartCompletion completion) {
  LoopLock lock;
  if (startCompletion_) return answerLater(std::move(completion), false);
  if (stream_)
    return answerLater(std::move(completion), libpulse().pa_stream_get_state(stream_) == PA_STREAM_READY);
  if (!context_ || !source_ || libpulse().pa_context_get_state(context_) != PA_CONTEXT_READY)
    return answerLater(std::move(completion), false);
  pa_sample_spec sampleSpec{PA_SAMPLE_FLOAT32NE, source_->sampleSpec.rate, source_->sampleSpec.channels};
  // The tap's format decides what the server hands over; it converts.
  if (tapFormat_ && tapFormat_->sampleType == SampleType::Float32 && tapFormat_->interleaved &&
      tapFormat_->channelCount >= 1 && tapFormat_->channelCount <= PA_CHANNELS_MAX &&
      tapFormat_->sampleRate >= 1 && tapFormat_->sampleRate <= PA_RATE_MAX) {
    sampleSpec.rate = static_cast<uint32_t>(tapFormat_->sampleRate);
    sampleSpec.channels = static_cast<uint8_t>(tapFormat_->channelCount);
  }
  if (!libpulse().pa_sample_spec_valid(&sampleSpec)) return answerLater(std::move(completion), false);
  const pa_channel_map* map = sampleSpec.channels == source_->map.channels ? &source_->map : nullptr;
  stream_ = libpulse().pa_stream_new(context_, "Microphone", &sampleSpec, map);
  if (!stream_) return answerLater(std::move(completion), false);
  stopping_ = false;
  startCompletion_ = std::move(completion);
  libpulse().pa_stream_set_state_callback(stream_, &PulseEngine::onStreamState, this);
  libpulse().pa_stream_set_read_callback(stream_, &PulseEngine::onStreamRead, this);
  const pa_buffer_attr attr = recordAttributes(kFragmentUsec, sampleSpec);
  // Not movable: if the source goes, the server must not quietly carry
  // this stream over to another one (perhaps a monitor); the stream fails
  // instead and the session hears of it.
  const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE);
  if (libpulse().pa_stream_connect_record(stream_, source_->name.c_str(), &attr, flags) < 0) {
    teardownStream();
    return finishStart(false);
  }
  startTimer_ = armTimer(context_, kStartBound, &PulseEngine::onStartTimeout, this);
}

void PulseEngine::onStartTimeout(pa_mainloop_api* api, pa_time_event* event, const struct timeval*,
                                 void* userdata) {
  auto* self = static_cast<PulseEngine*>(userdata);
  api->time_free(event);
  self->startTimer_ = nullptr;
  self->teardownStream();
  self->finishStart(false);
}

// Lock held. Answers the pending start, if any, once.
void PulseEngine::finishStart(bool started) {
  cancelTimer(startTimer_);
  if (startCompletion_) answerLater(std::exchange(startCompletion_, nullptr), started);
}

// What the server has sent and the tap has not seen yet, even less than a
// tap's worth, goes to the tap before the stream closes: it was captured
// before the stop.
void PulseEngine::stop() {
  catchUp();
  LoopLock lock;
  if (stream_ && tap_) {
    pa_stream* stream = stream_;
    readFragments(stream, [&](const void* data, size_t bytes) {
      consume(data, bytes);
      return stream_ == stream;
    });
    if (stream_ == stream) handOver();
  }
  teardownStream();
  finishStart(false);
}

// Lock held. Once the callbacks are cleared under the lock, no tap call is
// running (it would hold the lock) and none will run.
void PulseEngine::teardownStream() {
  if (!stream_) return;
  stopping_ = true;
  closeStream(stream_);
  stream_ = nullptr;
  pending_.reset();
  pendingFrames_ = 0;
}

uint64_t PulseEngine::addObserver(std::function<void()> callback) {
  LoopLock lock;
  const uint64_t id = observers_->nextId++;
  observers_->entries.emplace_back(id, std::move(callback));
  return id;
}

// Loop thread. Each callback runs under the loop lock, so `removeObserver`
// (which takes it) returns only once no callback is running. An observer
// removed by an earlier callback of this same round is skipped.
void PulseEngine::postConfigurationChange() {
  std::vector<uint64_t> ids;
  for (const auto& entry : observers_->entries) ids.push_back(entry.first);
  for (uint64_t id : ids) {
    auto it = std::find_if(observers_->entries.begin(), observers_->entries.end(),
                           [id](const auto& entry) { return entry.first == id; });
    if (it == observers_->entries.end()) continue;
    auto callback = it->second;
    if (callback) callback();
  }
}

void PulseEngine::connectionState(pa_context*, pa_context_state_t state) {
  if (state == PA_CONTEXT_READY) {
    connected_ = true;
    if (formatCompletion_) askDefaults();
  } else if (state == PA_CONTEXT_FAILED || state == PA_CONTEXT_TERMINATED) {
    finishFormat(noServer());
    finishStart(false);
    if (!connected_) return;
    PulseStream::serverLost(PA_ERR_CONNECTIONTERMINATED);
    postConfigurationChange();
  }
}

void PulseEngine::connectionEvent(pa_context*, pa_subscription_event_type_t type, uint32_t index) {
  const auto facility = type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
  const auto kind = type & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
  if (facility == PA_SUBSCRIPTION_EVENT_SOURCE && kind == PA_SUBSCRIPTION_EVENT_REMOVE) {
    if (source_ && source_->index == index) postConfigurationChange();
  } else if (facility == PA_SUBSCRIPTION_EVENT_SERVER) {
    checkDefaultSource();
  }
}

// Loop thread. Server events come for many reasons (a new default sink, a
// changed default sample rate); only a different default source matters.
void PulseEngine::checkDefaultSource() {
  if (!source_ || !context_) return;
  if (serverQuery_) {
    queryAgain_ = true;
    return;
  }
  serverQuery_ = libpulse().pa_context_get_server_info(context_, &PulseEngine::onServerInfo, this);
}

void PulseEngine::onServerInfo(pa_context*, const pa_server_info* info, void* userdata) {
  auto* self = static_cast<PulseEngine*>(userdata);
  releaseOperation(self->serverQuery_);
  if (info && self->source_) {
    const std::string current = info->default_source_name ? info->default_source_name : "";
    if (current != self->source_->name) self->postConfigurationChange();
  }
  if (self->queryAgain_) {
    self->queryAgain_ = false;
    self->checkDefaultSource();
  }
}

void PulseEngine::onStreamState(pa_stream* stream, void* userdata) {
  auto* self = static_cast<PulseEngine*>(userdata);
  switch (libpulse().pa_stream_get_state(stream)) {
    case PA_STREAM_READY:
      self->finishStart(true);
      break;
    case PA_STREAM_FAILED:
    case PA_STREAM_TERMINATED:
      self->finishStart(false);
      // The source went away (the stream may not move) or the server
      // dropped it; either way the input is gone.
      if (!self->stopping_) self->postConfigurationChange();
      break;
    default:
      break;
  }
}

void PulseEngine::onStreamRead(pa_stream* stream, size_t, void* userdata) {
  auto* self = static_cast<PulseEngine*>(userdata);
  readFragments(stream, [&](const void* data, size_t bytes) {
    self->consume(data, bytes);
    return self->stream_ == stream;  // not when the tap stopped the engine
  });
  if (self->stream_ != stream || self->pendingFrames_ < self->tapFrames_) return;
  // A backlog arrives as a run of reads in quick succession; holding back
  // what comes sooner than most of a fragment after the last buffer gathers
  // it into one large buffer at the next read.
  const pa_usec_t tapUsec = self->tapFrames_ * PA_USEC_PER_SEC / self->pendingRate_;
  const pa_usec_t spacing = std::max(tapUsec, kFragmentUsec) * 4 / 5;
  if (libpulse().pa_rtclock_now() - self->lastHandover_ >= spacing) self->handOver();
}

// Loop thread (or the owner's thread in `stop`), lock held. Gathers what the
// stream read into the tap's buffer; a hole in the stream counts as silence
// so that the timeline stays whole. A buffer that reaches the most one may
// hold goes out at once.
void PulseEngine::consume(const void* data, size_t bytes) {
  if (!tap_ || !stream_) return;
  const pa_sample_spec* sampleSpec = libpulse().pa_stream_get_sample_spec(stream_);
  if (!sampleSpec || sampleSpec->channels == 0) return;
  const uint32_t channels = sampleSpec->channels;
  const size_t frameBytes = sizeof(float) * channels;
  size_t frames = bytes / frameBytes;
  const auto* in = static_cast<const float*>(data);
  while (frames > 0 && tap_) {
    if (!pending_) {
      const AudioFormat format{SampleType::Float32, static_cast<double>(sampleSpec->rate), channels, true};
      pending_ = PCMBuffer::make(format, kFirstPendingFrames);
      pendingFrames_ = 0;
      pendingRate_ = sampleSpec->rate;
      if (!pending_) return;
    }
    if (pendingFrames_ == pending_->frameCapacity() && !growPending(channels)) return;
    AudioBufferList* list = pending_->mutableAudioBufferList();
    auto* out = static_cast<float*>(list->buffers[0].data) + static_cast<size_t>(pendingFrames_) * channels;
    const size_t take = std::min<size_t>(frames, pending_->frameCapacity() - pendingFrames_);
    if (in) {
      std::memcpy(out, in, take * frameBytes);
      in += take * channels;
    } else {
      std::memset(out, 0, take * frameBytes);
    }
    pendingFrames_ += static_cast<uint32_t>(take);
    frames -= take;
    if (pendingFrames_ == kMaxTapFrames) handOver();
  }
}

// Lock held. A backlog outgrew the buffer: twice the room, up to the
// largest a tap buffer may be, keeping what was gathered.
bool PulseEngine::growPending(uint32_t channels) {
  const uint32_t capacity = std::min(kMaxTapFrames, pending_->frameCapacity() * 2);
  std::optional<PCMBuffer> larger = PCMBuffer::make(pending_->format(), capacity);
  if (!larger) return false;
  std::memcpy(larger->mutableAudioBufferList()->buffers[0].data, pending_->audioBufferList()->buffers[0].data,
              static_cast<size_t>(pendingFrames_) * channels * sizeof(float));
  pending_ = std::move(larger);
  return true;
}

// Lock held. Hands everything gathered to the tap as one buffer.
void PulseEngine::handOver() {
  if (!pending_ || pendingFrames_ == 0 || !tap_) return;
  pending_->setFrameLength(pendingFrames_);
  lastHandover_ = libpulse().pa_rtclock_now();
  TapBlock tap = tap_;
  tap(*pending_);
  if (!pending_) return;  // the tap removed itself
  pending_->setFrameLength(0);
  pendingFrames_ = 0;
}

void PulseObserver::remove() {
  auto list = list_.lock();
  if (!list) return;
  LoopLock lock;
  auto& entries = list->entries;
  entries.erase(
      std::remove_if(entries.begin(), entries.end(), [this](const auto& e) { return e.first == id_; }),
      entries.end());
}

std::shared_ptr<NotificationObserver> PulseNotificationCenter::addEngineConfigurationObserver(
    AudioEngine* engine, std::function<void()> callback) {
  auto* pulseEngine = dynamic_cast<PulseEngine*>(engine);
  if (!pulseEngine) return std::make_shared<PulseObserver>(std::weak_ptr<ObserverList>(), 0);
  const uint64_t id = pulseEngine->addObserver(std::move(callback));
  return std::make_shared<PulseObserver>(pulseEngine->observers(), id);
}

void PulseNotificationCenter::removeObserver(const std::shared_ptr<NotificationObserver>& observer) {
  if (auto* pulseObserver = dynamic_cast<PulseObserver*>(observer.get())) pulseObserver->remove();
}

}  // namespace zt::platform::pulse
