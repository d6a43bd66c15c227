// Construction, command acceptance, failures, the stop path and the
// deadline. All on the main queue except the drain task (`_work`) and
// `stream(stream, error)` (any thread).
#include "capture/ZTCapture.h"

#include "base/dispatch.h"

namespace zt {

namespace {
constexpr const char* kQueuePrefix = "com.zentrell.audio-helper";
}

ZTCapture::ZTCapture(ZTOutput* output, platform::Platform& platform) : _output(output), _platform(platform) {
  _samples =
      dispatch_queue_create((std::string(kQueuePrefix) + ".audio.samples").c_str(), DISPATCH_QUEUE_SERIAL);
  _work =
      dispatch_queue_create((std::string(kQueuePrefix) + ".audio.convert").c_str(), DISPATCH_QUEUE_SERIAL);
  _slots = dispatch_semaphore_create(kSlotCount);
  _permissions =
      dispatch_queue_create((std::string(kQueuePrefix) + ".audio.permission").c_str(), DISPATCH_QUEUE_SERIAL);
  _deadline = dispatch_source_create(DISPATCH_SOURCE_TYPE_TIMER, 0, 0, mainQueue());
  setEventHandler(_deadline, [this] { deadlineExpired(); });
  dispatch_resume(_deadline);
  deadline(0);
}

void ZTCapture::deadline(uint64_t seconds) {
  const dispatch_time_t start =
      seconds == 0 ? DISPATCH_TIME_FOREVER
                   : dispatch_time(DISPATCH_TIME_NOW, static_cast<int64_t>(seconds * 1'000'000'000ull));
  dispatch_source_set_timer(_deadline, start, DISPATCH_TIME_FOREVER, 0);
}

void ZTCapture::state(const std::string& word) {
  ZT_ASSERT_MAIN_QUEUE();
  _output->event({{"event", "state"}, {"state", word}}, false);
}

void ZTCapture::prepared() {
  ZT_ASSERT_MAIN_QUEUE();
  static const Event kPrepared{{"event", "prepared"}};
  _output->event(kPrepared, false);
}

void ZTCapture::command(const std::string& word) {
  ZT_ASSERT_MAIN_QUEUE();
  const auto phase = static_cast<uint64_t>(_phase);
  if (word == "stop") {
    stop();
  } else if (_wantEnd || _phase == CapturePhase::Ended) {
    // An end is under way: only "stop" still counts.
  } else if (word == "prepare" && _phase == CapturePhase::Idle) {
    beginPrepare();
  } else if (word == "start" && _phase == CapturePhase::Prepared && _prepared) {
    beginStart();
  } else if (word == "pause" && phase >= static_cast<uint64_t>(CapturePhase::Starting) &&
             phase <= static_cast<uint64_t>(CapturePhase::Paused)) {
    _wantPaused = true;
    beginStop();
  } else if (word == "resume" && _wantPaused) {
    // Withdraws a pause still stopping; the drain then restarts by itself.
    _wantPaused = false;
    if (_phase == CapturePhase::Paused) beginStart();
  } else if (word == "resume" && _phase == CapturePhase::Paused) {
    beginStart();
  } else {
    fail("INVALID_STATE");
  }
}

void ZTCapture::fail(const std::string& code) {
  ZT_ASSERT_MAIN_QUEUE();
  if (_phase == CapturePhase::Ended) return;
  _output->setAcceptingAudio(false);
  if (!_failed) {
    _failed = true;
    _output->event({{"event", "error"}, {"code", code}}, false);
  }
  stop();
}

void ZTCapture::stop() {
  ZT_ASSERT_MAIN_QUEUE();
  _wantEnd = true;
  beginStop();
}

void ZTCapture::beginStop() {
  ZT_ASSERT_MAIN_QUEUE();
  if (_phase == CapturePhase::Ended) return;
  // The engine hands over its partly filled buffer as it stops, and a
  // stream what it has gathered as it is asked to stop; admission, still
  // open, takes both in before it closes.
  stopMicrophone();
  // In Stopping the drain will read the flags; in StreamStarting the start
  // completion will, and calls back here.
  const bool stopUnderWay = _phase == CapturePhase::Stopping || _phase == CapturePhase::StreamStarting;
  if (stopUnderWay || !_stream) closeAdmission();
  if (stopUnderWay) return;
  if (_phase == CapturePhase::Preparing) ++_generation;
  _phase = CapturePhase::Stopping;
  deadline(kPhaseDeadlineSeconds);
  if (!_stream) {
    drained();
    return;
  }
  std::shared_ptr<platform::Stream> stopping = _stream;
  stopping->stopCapture([this, stopping](std::optional<platform::Error> error) {
    async(mainQueue(), [this, stopping, error] { streamStopped(stopping, error); });
  });
  closeAdmission();
}

void ZTCapture::streamStopped(std::shared_ptr<platform::Stream> stream,
                              std::optional<platform::Error> error) {
  ZT_ASSERT_MAIN_QUEUE();
  if (_stream != stream) return;  // the deadline fired in between
  stream->removeStreamOutput(this, platform::kStreamOutputAudio);
  _stream.reset();
  if (!error) {
    drained();
    return;
  }
  // Audio still converting on `_work` must not follow the error line.
  closeAudio();
  _wantEnd = true;
  _failed = true;
  _phase = CapturePhase::Ended;
  ++_generation;
  static const Event kStopFailed{{"code", "CAPTURE_STOP_FAILED"}, {"event", "error"}};
  _output->event(kStopFailed, false);
  deadline(0);
  _output->requestExit(1);
}

void ZTCapture::drained() {
  ZT_ASSERT_MAIN_QUEUE();
  const uint64_t token = _generation;
  // Posted after `closeAdmission` released `_admission`, so it runs after
  // every conversion task admitted during the run.
  async(_work, [this, token] { drainTask(token); });
}

void ZTCapture::drainTask(uint64_t token) {
  ZT_ASSERT_QUEUE(_work);
  bool tailFailed = false;
  if (_output->isAcceptingAudio()) {
    if (_systemConverter && !_systemConverter->finishSource("system", _output)) tailFailed = true;
    if (_microphoneConverter && !_microphoneConverter->finishSource("microphone", _output)) tailFailed = true;
  }
  _systemConverter.reset();
  _microphoneConverter.reset();
  async(mainQueue(), [this, token, tailFailed] { drainFinished(token, tailFailed); });
}

void ZTCapture::drainFinished(uint64_t token, bool tailFailed) {
  ZT_ASSERT_MAIN_QUEUE();
  if (token != _generation || _phase != CapturePhase::Stopping) return;
  _output->deliverError();
  if (tailFailed) fail("AUDIO_CONVERSION_FAILED");
  _output->setAcceptingAudio(false);
  deadline(0);
  if (_wantEnd) {
    _display.reset();
    _prepared = false;
    _phase = CapturePhase::Ended;
    state("ended");
    _output->requestExit(_failed ? 1 : 0);
    return;
  }
  _phase = CapturePhase::Paused;
  state("paused");
  if (!_wantPaused) beginStart();
}

void ZTCapture::deadlineExpired() {
  ZT_ASSERT_MAIN_QUEUE();
  closeAudio();
  _wantEnd = true;
  _failed = true;
  _phase = CapturePhase::Ended;
  ++_generation;
  deadline(0);
  stopMicrophone();
  // Released without asking it to stop: it did not answer in time.
  _stream.reset();
  static const Event kTimeout{{"code", "CAPTURE_TIMEOUT"}, {"event", "error"}};
  _output->event(kTimeout, false);
  _output->requestExit(1);
}

void ZTCapture::stopMicrophone() {
  ZT_ASSERT_MAIN_QUEUE();
  if (_configurationObserver) {
    _platform.notificationCenter().removeObserver(_configurationObserver);
    _configurationObserver.reset();
  }
  if (_engine) {
    _engine->stop();
    if (_tapInstalled) {
      _engine->removeTap(0);
      _tapInstalled = false;
    }
    _engine.reset();
  }
}

void ZTCapture::closeAdmission() {
  std::lock_guard lock(_admission);
  _acceptWork.store(false);
  _activeStream.store(nullptr);
}

void ZTCapture::closeAudio() {
  ZT_ASSERT_MAIN_QUEUE();
  closeAdmission();
  _output->setAcceptingAudio(false);
}

void ZTCapture::stream(platform::Stream* stream, const platform::Error&) {
  if (stream == _activeStream.load()) {
    _output->fail("SYSTEM_AUDIO_UNAVAILABLE");
    return;
  }
  // A pause and resume while the stream starts leave `_activeStream` clear
  // until the start completes; a stream that stops meanwhile stays stopped.
  const uint64_t token = _audioGeneration.load();
  async(mainQueue(), [this, stream, token] {
    if (stream == _stream.get()) sourceLostWhileStarting(token, "SYSTEM_AUDIO_UNAVAILABLE");
  });
}

int ZTCapture::freeSlotsForTesting() {
  int free = 0;
  while (dispatch_semaphore_wait(_slots, DISPATCH_TIME_NOW) == 0) ++free;
  for (int i = 0; i < free; ++i) dispatch_semaphore_signal(_slots);
  return free;
}

}  // namespace zt
