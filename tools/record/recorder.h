// One recording session with the helper: the command sequence, the event
// loop over the helper's output, the signal pipe and the keys, the two
// files, and what is told to the person at the end.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "events.h"
#include "helper_process.h"
#include "level_meter.h"
#include "options.h"
#include "status_display.h"
#include "terminal_keys.h"
#include "wav_file.h"

namespace zt::record {

class Recorder {
 public:
  using Clock = std::chrono::steady_clock;

  // `folder` exists; `signalFd` is the read end of the pipe the signal
  // handlers write their signal numbers to.
  Recorder(const Options& options, const std::string& folder, HelperProcess& helper, StatusDisplay& display,
           TerminalKeys& keys, int signalFd);

  // Records to the end; answers the recorder's exit status: 0, 1, or
  // 128 + the signal that stopped the recording.
  int run();
  // The files that got their final names.
  const std::vector<std::string>& savedFiles() const { return saved_; }

 private:
  struct Source {
    std::string name;  // "system" or "microphone"
    std::string path;  // the complete file's name
    std::unique_ptr<WavFile> file;
    LevelMeter level;
    uint64_t samples() const { return file ? file->samples() : 0; }
  };

  void handle(const Event& event);
  void onRecording();
  void writeAudio(const Event& event);
  void onSignals();
  void onKey(int key);
  void requestStop();
  void togglePause();
  void suspend();
  void stopHere();
  void checkDuration(Clock::time_point now);
  void showStatus(Clock::time_point now);
  double recordedSeconds() const;
  std::string stateWords() const;
  int finish(std::optional<HelperExit> exit);
  void closeFiles(bool ok);
  void reportError(const std::string& code);
  void fault(const std::string& text);

  const Options& options_;
  std::string folder_;
  HelperProcess& helper_;
  StatusDisplay& display_;
  TerminalKeys& keys_;
  int signalFd_;
  Source sources_[2];

  // Samples per source when a duration is set; each file stops there.
  std::optional<uint64_t> targetSamples_;

  bool prepared_ = false;
  bool startSent_ = false;
  bool everRecorded_ = false;
  bool ended_ = false;
  bool wantPaused_ = false;
  bool stopSent_ = false;
  bool abandoned_ = false;
  bool writeFailed_ = false;
  bool suspending_ = false;        // Ctrl-Z: waiting for "paused" before stopping
  bool pausedForSuspend_ = false;  // resume once continued
  bool ownContinue_ = false;       // the next SIGCONT follows our own stop
  bool stoppedUnaware_ = false;    // stopped without pausing the capture first
  int interrupt_ = 0;              // the first signal that asked to stop
  int interrupts_ = 0;
  int unknownLines_ = 0;
  std::vector<std::string> saved_;
  std::string helperState_;  // the last state word, empty before any
  std::vector<std::string> errors_;
  Clock::time_point stopSentAt_{};
  Clock::time_point suspendAskedAt_{};
  Clock::time_point recordingSince_{};
  double wallBefore_ = 0;  // seconds in "recording" before the current stretch
};

}  // namespace zt::record
