// One recording session with the helper: the command sequence, the event
// loop over the helper's output, the signal pipe and the keys, and what is
// told to the person at the end.
#pragma once

#include <chrono>
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

  // `signalFd`: the read end of the pipe the signal handlers write to.
  Recorder(const Options& options, HelperProcess& helper, WavFile& system, WavFile& microphone,
           StatusDisplay& display, TerminalKeys& keys, int signalFd);

  // Records to the end; answers the recorder's exit status (0 or 1).
  int run();

 private:
  void handle(const Event& event);
  void writeAudio(const Event& event);
  void onSignal();
  void onKey(int key);
  void requestStop();
  void togglePause();
  void checkDuration(Clock::time_point now);
  void showStatus(Clock::time_point now);
  double elapsedSeconds(Clock::time_point now) const;
  std::string stateWords() const;
  int finish(std::optional<HelperExit> exit);
  void reportError(const std::string& code);
  void fault(const std::string& text);

  const Options& options_;
  HelperProcess& helper_;
  WavFile& system_;
  WavFile& microphone_;
  StatusDisplay& display_;
  TerminalKeys& keys_;
  int signalFd_;

  // Samples per source when a duration is set; each file stops there.
  std::optional<uint64_t> targetSamples_;
  LevelMeter systemLevel_;
  LevelMeter microphoneLevel_;

  bool prepared_ = false;
  bool everRecorded_ = false;
  bool ended_ = false;
  bool wantPaused_ = false;
  bool stopSent_ = false;
  bool abandoned_ = false;
  bool writeFailed_ = false;
  int interrupts_ = 0;
  int unknownLines_ = 0;
  std::string helperState_;  // the last state word, empty before any
  std::vector<std::string> errors_;
  Clock::time_point stopSentAt_{};
  Clock::time_point recordingSince_{};
  double recordedBefore_ = 0;  // seconds in "recording" before the current stretch
};

}  // namespace zt::record
