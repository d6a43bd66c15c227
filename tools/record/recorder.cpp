#include "recorder.h"

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "error_advice.h"

namespace zt::record {

namespace {

// A duration recording whose audio lags this far behind the time spent
// recording stops anyway; the shorter file is reported. An idle sound
// server can take 2 s to deliver its first audio.
constexpr double kDurationGraceSeconds = 5.0;
// The helper bounds its own stop by 10 s and its exit by 3 s more; past
// this the recorder gives up on it.
constexpr auto kStopPatience = std::chrono::seconds(20);
// Ctrl-Z waits this long for the pause to finish before stopping anyway.
constexpr auto kSuspendPatience = std::chrono::seconds(3);

}  // namespace

Recorder::Recorder(const Options& options, const std::string& folder, HelperProcess& helper,
                   StatusDisplay& display, TerminalKeys& keys, int signalFd)
    : options_(options),
      folder_(folder),
      helper_(helper),
      display_(display),
      keys_(keys),
      signalFd_(signalFd),
      sources_{{"system", folder + "/system.wav", nullptr, {}},
               {"microphone", folder + "/microphone.wav", nullptr, {}}} {
  if (options.duration)
    // At least one sample: a shorter duration would discard all the audio
    // and report that none came.
    targetSamples_ = std::max<uint64_t>(1, std::llround(*options.duration * WavFile::kSampleRate));
}

int Recorder::run() {
  if (!helper_.send("prepare")) fault("The helper stopped before it took the first command.");
  bool open = true;
  while (open && !abandoned_) {
    // fg on a job that runs in the background sends it no signal.
    keys_.follow();
    pollfd fds[3] = {{helper_.eventsFd(), POLLIN, 0}, {signalFd_, POLLIN, 0}, {keys_.fd(), POLLIN, 0}};
    const nfds_t count = keys_.active() ? 3 : 2;
    if (poll(fds, count, 100) < 0 && errno != EINTR) break;
    if (fds[1].revents & POLLIN) onSignals();
    if (count == 3 && (fds[2].revents & POLLIN))
      if (const int key = keys_.readKey(); key >= 0) onKey(key);
    if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
      std::vector<std::string> lines;
      open = helper_.readLines(&lines);
      for (const auto& line : lines) handle(parseEvent(line));
    }
    const auto now = Clock::now();
    checkDuration(now);
    if (suspending_ && now - suspendAskedAt_ > kSuspendPatience) stopHere();
    if (stopSent_ && now - stopSentAt_ > kStopPatience) {
      fault("The helper did not finish within " + std::to_string(kStopPatience.count()) +
            " seconds of \"stop\"; ending it.");
      helper_.kill();
      break;
    }
    // After an error the session only winds down: no status to show.
    if (errors_.empty() && display_.due(now)) showStatus(now);
  }
  if (abandoned_) helper_.kill();
  auto exit = helper_.wait(std::chrono::seconds(5));
  if (!exit) {
    helper_.kill();
    exit = helper_.wait(std::chrono::seconds(5));
  }
  return finish(exit);
}

void Recorder::handle(const Event& event) {
  switch (event.kind) {
    case Event::Kind::Prepared:
      prepared_ = true;
      // A stop asked for during preparation has been sent already.
      if (!stopSent_) {
        startSent_ = true;
        if (!helper_.send("start")) fault("The helper stopped reading commands.");
      }
      break;
    case Event::Kind::State: {
      const auto now = Clock::now();
      if (helperState_ == "recording")
        wallBefore_ += std::chrono::duration<double>(now - recordingSince_).count();
      helperState_ = event.state;
      if (!display_.terminal()) display_.note("helper state: " + event.state);
      if (event.state == "recording") {
        recordingSince_ = now;
        if (!everRecorded_) onRecording();
      } else if (event.state == "paused") {
        if (suspending_) stopHere();
      } else if (event.state == "ended") {
        ended_ = true;
      }
      break;
    }
    case Event::Kind::Error:
      errors_.push_back(event.code);
      reportError(event.code);
      break;
    case Event::Kind::Audio:
      writeAudio(event);
      break;
    case Event::Kind::Unknown:
      // A line this recorder cannot read says the helper and the recorder
      // disagree; say it once and carry on with the lines that make sense.
      if (unknownLines_++ == 0) fault("The helper sent a line this recorder does not understand.");
      break;
  }
}

void Recorder::onRecording() {
  // The files come into being only now: a helper that cannot record
  // leaves nothing behind, and nothing that existed is touched.
  everRecorded_ = true;
  std::string error;
  for (Source& source : sources_) {
    source.file = WavFile::create(source.path, options_.force, &error);
    if (!source.file) {
      writeFailed_ = true;
      fault(error + ". Choose another folder with --output.");
      requestStop();
      return;
    }
  }
  char length[64] = "until Ctrl-C";
  if (options_.duration) snprintf(length, sizeof length, "for %g s", *options_.duration);
  const char* keys = keys_.active() ? "; space pauses, q stops" : options_.duration ? "; Ctrl-C stops" : "";
  display_.note("Recording into " + folder_ + " (" + length + keys + ")");
}

void Recorder::writeAudio(const Event& event) {
  Source& source = sources_[event.source == "system" ? 0 : 1];
  if (!source.file || writeFailed_) return;
  size_t bytes = event.pcm.size();
  if (targetSamples_) {
    const uint64_t room = *targetSamples_ > source.samples() ? *targetSamples_ - source.samples() : 0;
    bytes = static_cast<size_t>(std::min<uint64_t>(bytes, room * 2));
  }
  // The meters measure what goes into the files.
  source.level.add(event.pcm.data(), bytes);
  if (source.file->append(event.pcm.data(), bytes)) return;
  writeFailed_ = true;
  fault("Cannot write " + WavFile::partialPath(source.path) + ": " +
        (errno ? strerror(errno) : "the file is full") +
        ". Free some disk space or choose another folder with --output.");
  requestStop();
}

void Recorder::onSignals() {
  unsigned char signals[64];
  const ssize_t n = read(signalFd_, signals, sizeof signals);
  for (ssize_t i = 0; i < n; ++i) {
    switch (const int sig = signals[i]) {
      case SIGWINCH:
        display_.setColumns(terminalColumns(1));
        break;
      case SIGTSTP:
        suspend();
        break;
      case SIGCONT:
        keys_.enable();
        if (ownContinue_)
          ownContinue_ = false;
        else
          stoppedUnaware_ = true;
        break;
      default:  // SIGINT, SIGTERM, SIGHUP
        if (!interrupt_) interrupt_ = sig;
        if (++interrupts_ >= 2 && stopSent_) {
          abandoned_ = true;
          return;
        }
        display_.note("Stopping (press Ctrl-C again to abandon at once)...");
        requestStop();
    }
  }
}

void Recorder::onKey(int key) {
  if (key == ' ')
    togglePause();
  else if (key == 'q' || key == 'Q')
    requestStop();
}

void Recorder::requestStop() {
  if (stopSent_) return;
  stopSent_ = true;
  suspending_ = false;
  stopSentAt_ = Clock::now();
  // A helper that is already gone shows as the end of its output.
  helper_.send("stop");
}

void Recorder::togglePause() {
  // "pause" is taken only once capture has started; "resume" only after a
  // "pause". A stop overrides both.
  if (!everRecorded_ || stopSent_ || suspending_) return;
  wantPaused_ = !wantPaused_;
  helper_.send(wantPaused_ ? "pause" : "resume");
}

// Ctrl-Z. The helper runs in a process group of its own and goes on
// capturing while the recorder is stopped, until its output queue fills
// and it fails; so the capture is paused first, and the recorder stops
// once the pause has finished.
void Recorder::suspend() {
  if (suspending_) return;
  if (stopSent_) {
    display_.note("The recording is finishing; Ctrl-Z waits for that.");
    return;
  }
  const bool sendPause = startSent_ && !wantPaused_;
  if (sendPause) {
    wantPaused_ = true;
    pausedForSuspend_ = true;
    helper_.send("pause");
  }
  if (sendPause || (wantPaused_ && helperState_ != "paused")) {
    suspending_ = true;
    suspendAskedAt_ = Clock::now();
    return;
  }
  stopHere();
}

void Recorder::stopHere() {
  suspending_ = false;
  display_.note(everRecorded_ ? "Paused and stopped; fg continues the recording." : "Stopped; fg continues.");
  keys_.restore();
  ownContinue_ = true;
  raise(SIGSTOP);
  // Continued; the keys come back with SIGCONT.
  if (pausedForSuspend_) {
    pausedForSuspend_ = false;
    if (!stopSent_) {
      wantPaused_ = false;
      helper_.send("resume");
    }
  }
}

void Recorder::checkDuration(Clock::time_point now) {
  if (!targetSamples_ || stopSent_ || !everRecorded_) return;
  if (std::all_of(std::begin(sources_), std::end(sources_),
                  [&](const Source& s) { return s.samples() >= *targetSamples_; })) {
    requestStop();
    return;
  }
  double wall = wallBefore_;
  if (helperState_ == "recording") wall += std::chrono::duration<double>(now - recordingSince_).count();
  if (wall >= *options_.duration + kDurationGraceSeconds) requestStop();
}

double Recorder::recordedSeconds() const {
  return std::max(sources_[0].samples(), sources_[1].samples()) / double(WavFile::kSampleRate);
}

std::string Recorder::stateWords() const {
  if (ended_) return "ended";
  if (stopSent_) return "stopping";
  if (!prepared_) return "preparing";
  if (helperState_.empty()) return "starting";
  if (helperState_ == "recording" && wantPaused_) return "pausing";
  if (helperState_ == "paused" && !wantPaused_) return "resuming";
  return helperState_;
}

void Recorder::showStatus(Clock::time_point now) {
  Status s;
  s.recordedSeconds = recordedSeconds();
  s.systemPeakDb = sources_[0].level.takeWindowPeakDb();
  s.microphonePeakDb = sources_[1].level.takeWindowPeakDb();
  s.state = stateWords();
  s.keys = keys_.active();
  display_.show(s, now);
}

void Recorder::reportError(const std::string& code) {
  const ErrorAdvice advice = adviceFor(code, stoppedUnaware_);
  display_.clearLine();
  fprintf(stderr, "zentrell-record: error %s: %s\n  What to do: %s\n", code.c_str(), advice.meaning.c_str(),
          advice.action.c_str());
}

void Recorder::fault(const std::string& text) {
  display_.clearLine();
  fprintf(stderr, "zentrell-record: %s\n", text.c_str());
}

void Recorder::closeFiles(bool ok) {
  for (Source& source : sources_) {
    if (!source.file) continue;
    if (source.samples() == 0) {
      source.file->discard();
      // After --force the folder can hold this source's file of the
      // recording before; it must not pass for part of this one.
      display_.note("No audio came from the " + source.name + "; no file written for it" +
                    (access(source.path.c_str(), F_OK) == 0
                         ? "; " + source.path + " is from an earlier recording."
                         : "."));
      continue;
    }
    std::string error;
    // --force trades an earlier recording only for one that finished.
    if (!source.file->complete(options_.force && ok, &error)) {
      fault(error + ". The recording stays under that name" +
            (ok ? "." : "; one that did not finish replaces no earlier file."));
      continue;
    }
    saved_.push_back(source.path);
    char line[512];
    snprintf(line, sizeof line, "%s %s: %.2f s, peak %s", ok ? "Saved" : "Kept", source.path.c_str(),
             source.samples() / double(WavFile::kSampleRate),
             StatusDisplay::decibels(source.level.overallPeakDb()).c_str());
    display_.note(line);
  }
  if (!everRecorded_) display_.note("Nothing was recorded; no file written.");
}

int Recorder::finish(std::optional<HelperExit> exit) {
  display_.clearLine();
  bool ok = ended_ && errors_.empty() && !writeFailed_ && !abandoned_;
  if (abandoned_) {
    fault("Recording abandoned; the files keep what was written so far.");
  } else if (!ended_ && errors_.empty()) {
    fault("The helper ended without finishing the recording (" + (exit ? exit->describe() : "still running") +
          "). It may have crashed; try again, and check that --helper names a working "
          "zentrell-audio-helper.");
  }
  if (ok && exit && !(exit->exited && exit->status == 0)) {
    fault("The helper finished with " + exit->describe() + " although it reported no error.");
    ok = false;
  }
  closeFiles(ok);
  if (ok && targetSamples_) {
    for (const Source& source : sources_)
      if (source.file && source.samples() > 0 && source.samples() < *targetSamples_)
        fault("Note: " + source.path +
              " is shorter than asked: its source delivered less audio than the "
              "time it recorded.");
  }
  if (interrupt_) return 128 + interrupt_;
  return ok ? 0 : 1;
}

}  // namespace zt::record
