// Starting capture: permission re-checks, the microphone engine and its tap,
// the audio-only stream, and the start completion that opens admission.
// Main queue, except the tap (engine thread), the configuration-change
// callback (posting thread) and the engine's answers, which only post back
// to the main queue.

#include "base/dispatch.h"
#include "capture/ZTCapture.h"

namespace zt {

void ZTCapture::beginStart() {
  ZT_ASSERT_MAIN_QUEUE();
  if (_wantEnd) {
    beginStop();
    return;
  }
  if (!_prepared || !_display) {
    fail("INVALID_STATE");
    return;
  }
  if (!_platform.screenAccess().preflight()) {
    fail("SCREEN_PERMISSION_DENIED");
    return;
  }
  if (_platform.captureDevices().audioAuthorizationStatus() != platform::AuthorizationStatus::Authorized) {
    fail("MICROPHONE_PERMISSION_DENIED");
    return;
  }
  _phase = CapturePhase::Starting;
  const uint64_t token = ++_generation;
  _audioGeneration.store(token);
  deadline(kPhaseDeadlineSeconds);
  startDisplay(_display, token);
}

// Main queue. A start goes through two answers from the audio service, the
// input format and the engine start; neither is waited for here, so commands
// and signals keep being served while a slow server answers. Each answer
// comes back to the main queue and counts only while its start is current.
// The stream is built on `display` (always `_display`, which stays while the
// session runs) once the microphone's format is known.
void ZTCapture::startDisplay(std::shared_ptr<platform::Display> display, uint64_t token) {
  ZT_ASSERT_MAIN_QUEUE();
  buildMicrophone(token, false);
}

bool ZTCapture::startIsCurrent(uint64_t token) const {
  return token == _generation && _phase == CapturePhase::Starting;
}

// Main queue. `streamRunning`: the stream has already started and only the
// microphone is missing.
void ZTCapture::buildMicrophone(uint64_t token, bool streamRunning) {
  ZT_ASSERT_MAIN_QUEUE();
  _engine = _platform.makeAudioEngine();
  _engine->inputFormat([this, token, streamRunning](platform::AudioFormat format) {
    async(mainQueue(),
          [this, token, streamRunning, format] { inputFormatKnown(token, streamRunning, format); });
  });
}

void ZTCapture::inputFormatKnown(uint64_t token, bool streamRunning, platform::AudioFormat format) {
  ZT_ASSERT_MAIN_QUEUE();
  if (!startIsCurrent(token)) return;
  if (format.channelCount < 1 || format.channelCount > kMaxBufferChannels ||
      !(format.sampleRate >= kMinSampleRate) || !(format.sampleRate <= kMaxSampleRate)) {
    // A server gone (found missing at a resume) is named as it is while
    // recording, whichever source notices.
    const bool noService = format.channelCount == 0 && format.sampleRate == 0;
    fail(noService ? "SYSTEM_AUDIO_UNAVAILABLE" : "MICROPHONE_UNAVAILABLE");
    return;
  }
  _engine->installTap(0, kTapBufferFrames, format,
                      [this, token](const platform::PCMBuffer& buffer) { microphone(buffer, token); });
  _tapInstalled = true;
  _configurationObserver = _platform.notificationCenter().addEngineConfigurationObserver(
      _engine.get(), [this, token] { configurationChanged(token); });
  if (!streamRunning && !buildStream()) return;
  _engine->prepare();
  _engine->start([this, token, streamRunning](bool started) {
    async(mainQueue(),
          [this, token, streamRunning, started] { engineStarted(token, streamRunning, started); });
  });
}

bool ZTCapture::buildStream() {
  ZT_ASSERT_MAIN_QUEUE();
  platform::ContentFilter filter{_display, {}};
  platform::StreamConfiguration configuration;
  configuration.capturesAudio = true;
  configuration.excludesCurrentProcessAudio = true;
  configuration.sampleRate = 48000;
  configuration.channelCount = 2;
  configuration.width = 2;
  configuration.height = 2;
  configuration.queueDepth = 3;
  configuration.showsCursor = false;
  configuration.minimumFrameIntervalValue = 1;
  configuration.minimumFrameIntervalTimescale = 1;

  _stream = _platform.screenCapture().makeStream(filter, configuration, this);
  // Stop reports are attributed to this stream from now on; its samples stay
  // refused until admission opens.
  _activeStream.store(_stream.get());
  if (!_stream->addStreamOutput(this, platform::kStreamOutputAudio, _samples)) {
    fail("SYSTEM_AUDIO_UNAVAILABLE");
    return false;
  }
  return true;
}

void ZTCapture::engineStarted(uint64_t token, bool streamRunning, bool started) {
  ZT_ASSERT_MAIN_QUEUE();
  if (!startIsCurrent(token)) return;
  if (!started) {
    fail("MICROPHONE_UNAVAILABLE");
    return;
  }
  if (streamRunning) {
    openAdmission();
    return;
  }
  _phase = CapturePhase::StreamStarting;
  deadline(kPhaseDeadlineSeconds);
  _stream->startCapture([this, token](std::optional<platform::Error> error) {
    async(mainQueue(), [this, token, error] { startCompleted(token, error); });
  });
}

void ZTCapture::startCompleted(uint64_t token, std::optional<platform::Error> error) {
  ZT_ASSERT_MAIN_QUEUE();
  if (token != _generation || _phase != CapturePhase::StreamStarting) return;
  _phase = CapturePhase::Recording;
  if (error) {
    const bool declined =
        error->domain == platform::kStreamErrorDomain && error->code == platform::kStreamErrorUserDeclined;
    fail(declined ? "SCREEN_PERMISSION_DENIED" : "CAPTURE_START_FAILED");
    return;
  }
  if (_wantEnd || _wantPaused) {
    beginStop();
    return;
  }
  if (!_engine) {
    // A "pause" then "resume" while the stream was starting stopped and
    // released the microphone; bring it up again under this run's token, so
    // that the host never believes both sources are captured when one is
    // dead. Until then the run is starting again, with its deadline.
    _phase = CapturePhase::Starting;
    deadline(kPhaseDeadlineSeconds);
    buildMicrophone(token, true);
    return;
  }
  openAdmission();
}

void ZTCapture::openAdmission() {
  ZT_ASSERT_MAIN_QUEUE();
  _phase = CapturePhase::Recording;
  deadline(0);
  state("recording");
  _output->setAcceptingAudio(true);
  std::lock_guard lock(_admission);
  _activeStream.store(_stream.get());
  _acceptWork.store(true);
}

void ZTCapture::configurationChanged(uint64_t token) {
  // Any change while audio is admitted means the microphone we record is
  // gone or different.
  if (_acceptWork.load()) {
    _output->fail("MICROPHONE_UNAVAILABLE");
    return;
  }
  // Before admission opens the engine may already have lost its input, and
  // an input that failed stays failed: the start must not announce
  // "recording" without it.
  async(mainQueue(), [this, token] { sourceLostWhileStarting(token, "MICROPHONE_UNAVAILABLE"); });
}

// A source lost from the engine start until admission opens. Paused and
// stopping runs, and later runs, let it pass.
void ZTCapture::sourceLostWhileStarting(uint64_t token, const char* code) {
  ZT_ASSERT_MAIN_QUEUE();
  if (token != _generation) return;
  if (_phase == CapturePhase::Starting || _phase == CapturePhase::StreamStarting ||
      _phase == CapturePhase::Recording)
    fail(code);
}

}  // namespace zt
