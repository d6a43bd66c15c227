#include "recorder.h"

#include <errno.h>
#include <poll.h>
#include <string.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>

#include "error_advice.h"

namespace zt::record {

namespace {

// A duration recording whose audio lags this far behind the clock stops
// anyway; the shorter file is reported.
constexpr double kDurationGraceSeconds = 2.0;
// The helper bounds its own stop by 10 s and its exit by 3 s more; past
// this the recorder gives up on it.
constexpr auto kStopPatience = std::chrono::seconds(20);

}  // namespace

Recorder::Recorder(const Options& options, HelperProcess& helper, WavFile& system, WavFile& microphone,
                   StatusDisplay& display, TerminalKeys& keys, int signalFd)
    : options_(options),
      helper_(helper),
      system_(system),
      microphone_(microphone),
      display_(display),
      keys_(keys),
      signalFd_(signalFd) {
  if (options.duration)
    targetSamples_ = static_cast<uint64_t>(std::llround(*options.duration * WavFile::kSampleRate));
}

int Recorder::run() {
  if (!helper_.send("prepare")) {
    fault("The helper stopped before it took the first command.");
  }
  bool open = true;
  while (open && !abandoned_) {
    pollfd fds[3] = {{helper_.eventsFd(), POLLIN, 0}, {signalFd_, POLLIN, 0}, {keys_.fd(), POLLIN, 0}};
    const nfds_t count = keys_.active() ? 3 : 2;
    if (poll(fds, count, 100) < 0 && errno != EINTR) break;
    if (fds[1].revents & POLLIN) onSignal();
    if (count == 3 && (fds[2].revents & POLLIN))
      for (int key; (key = keys_.readKey()) >= 0;) onKey(key);
    if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
      std::vector<std::string> lines;
      open = helper_.readLines(&lines);
      for (const auto& line : lines) handle(parseEvent(line));
    }
    const auto now = Clock::now();
    checkDuration(now);
    if (stopSent_ && now - stopSentAt_ > kStopPatience) {
      display_.breakLine();
      fprintf(stderr,
              "zentrell-record: the helper did not finish within %lld seconds of \"stop\"; ending it.\n",
              static_cast<long long>(kStopPatience.count()));
      helper_.kill();
      break;
    }
    if (display_.due(now)) showStatus(now);
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
      if (!stopSent_ && !helper_.send("start")) fault("The helper stopped reading commands.");
      break;
    case Event::Kind::State: {
      const auto now = Clock::now();
      if (helperState_ == "recording")
        recordedBefore_ += std::chrono::duration<double>(now - recordingSince_).count();
      helperState_ = event.state;
      if (event.state == "recording") {
        everRecorded_ = true;
        recordingSince_ = now;
      } else if (event.state == "ended") {
        ended_ = true;
      }
      if (!display_.terminal()) display_.note("helper state: " + event.state);
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
      if (unknownLines_++ == 0) {
        display_.breakLine();
        fprintf(stderr, "zentrell-record: the helper sent a line this recorder does not understand.\n");
      }
      break;
  }
}

void Recorder::writeAudio(const Event& event) {
  const bool isSystem = event.source == "system";
  WavFile& file = isSystem ? system_ : microphone_;
  size_t bytes = event.pcm.size();
  if (targetSamples_) {
    const uint64_t room = *targetSamples_ > file.samples() ? *targetSamples_ - file.samples() : 0;
    bytes = static_cast<size_t>(std::min<uint64_t>(bytes, room * 2));
  }
  // The meters measure what goes into the files.
  (isSystem ? systemLevel_ : microphoneLevel_).add(event.pcm.data(), bytes);
  if (writeFailed_ || file.append(event.pcm.data(), bytes)) return;
  writeFailed_ = true;
  fault("Cannot write " + file.path() + ": " + (errno ? strerror(errno) : "the file is full") +
        ". Free some disk space or choose another folder with --output.");
  requestStop();
}

void Recorder::onSignal() {
  char drained[64];
  const ssize_t n = read(signalFd_, drained, sizeof drained);
  if (n <= 0) return;
  interrupts_ += static_cast<int>(n);
  if (interrupts_ >= 2 && stopSent_) {
    abandoned_ = true;
    return;
  }
  display_.note("Stopping (press Ctrl-C again to abandon at once)...");
  requestStop();
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
  stopSentAt_ = Clock::now();
  // A helper that is already gone shows as the end of its output.
  helper_.send("stop");
}

void Recorder::togglePause() {
  // "pause" is taken only once capture has started; "resume" only after a
  // "pause". A stop overrides both.
  if (!everRecorded_ || stopSent_) return;
  wantPaused_ = !wantPaused_;
  helper_.send(wantPaused_ ? "pause" : "resume");
}

void Recorder::checkDuration(Clock::time_point now) {
  if (!targetSamples_ || stopSent_ || !everRecorded_) return;
  const bool complete = system_.samples() >= *targetSamples_ && microphone_.samples() >= *targetSamples_;
  if (complete || elapsedSeconds(now) >= *options_.duration + kDurationGraceSeconds) requestStop();
}

double Recorder::elapsedSeconds(Clock::time_point now) const {
  double seconds = recordedBefore_;
  if (helperState_ == "recording") seconds += std::chrono::duration<double>(now - recordingSince_).count();
  return seconds;
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
  s.elapsedSeconds = elapsedSeconds(now);
  s.systemPeakDb = systemLevel_.takeWindowPeakDb();
  s.microphonePeakDb = microphoneLevel_.takeWindowPeakDb();
  s.state = stateWords();
  s.keys = keys_.active();
  display_.show(s, now);
}

void Recorder::reportError(const std::string& code) {
  const ErrorAdvice advice = adviceFor(code);
  display_.breakLine();
  fprintf(stderr, "zentrell-record: error %s: %s\n  What to do: %s\n", code.c_str(), advice.meaning.c_str(),
          advice.action.c_str());
}

void Recorder::fault(const std::string& text) {
  display_.breakLine();
  fprintf(stderr, "zentrell-record: %s\n", text.c_str());
}

int Recorder::finish(std::optional<HelperExit> exit) {
  display_.breakLine();
  bool ok = ended_ && errors_.empty() && !writeFailed_ && !abandoned_;
  if (abandoned_) {
    fault("Recording abandoned; the files keep what was written so far.");
  } else if (!ended_ && errors_.empty()) {
    fault(
        "The helper ended without finishing the recording (" + (exit ? exit->describe() : "still running") +
        "). It may have crashed; try again, and check that --helper names a working zentrell-audio-helper.");
  }
  if (ok && exit && !(exit->exited && exit->status == 0)) {
    fault("The helper finished with " + exit->describe() + " although it reported no error.");
    ok = false;
  }
  for (WavFile* file : {&system_, &microphone_}) {
    const LevelMeter& level = file == &system_ ? systemLevel_ : microphoneLevel_;
    char line[512];
    snprintf(line, sizeof line, "%s %s: %.2f s, peak %s", ok ? "Saved" : "Kept", file->path().c_str(),
             file->samples() / double(WavFile::kSampleRate),
             StatusDisplay::decibels(level.overallPeakDb()).c_str());
    display_.note(line);
  }
  if (ok && targetSamples_) {
    for (WavFile* file : {&system_, &microphone_})
      if (file->samples() < *targetSamples_) {
        fault("Note: " + file->path() +
              " is shorter than asked: its source delivered less audio than the clock " + "ran.");
      }
  }
  return ok ? 0 : 1;
}

}  // namespace zt::record
