// What the person watching sees while recording: on a terminal one status
// line redrawn in place; otherwise one progress line a second.
#pragma once

#include <chrono>
#include <string>

namespace zt::record {

struct Status {
  double elapsedSeconds = 0;  // recorded time, pauses left out
  double systemPeakDb = 0;    // peak of the last refresh period, dBFS
  double microphonePeakDb = 0;
  std::string state;  // the helper's state, in words
  bool keys = false;  // space and q work
};

class StatusDisplay {
 public:
  // `terminal`: standard output is a terminal.
  explicit StatusDisplay(bool terminal);

  bool terminal() const { return terminal_; }
  // Whether a refresh is due at `now` (10 a second on a terminal, 1 a
  // second otherwise).
  bool due(std::chrono::steady_clock::time_point now) const;
  void show(const Status& status, std::chrono::steady_clock::time_point now);
  // Ends the live line so other text can follow on lines of its own.
  void breakLine();
  // A line of its own on standard output.
  void note(const std::string& text);

  // "[#####-----] -12.3 dBFS": 0 dBFS fills the bar, -60 dBFS empties it.
  static std::string meter(double db, int width);
  // "-12.3 dBFS" or " -inf dBFS".
  static std::string decibels(double db);

 private:
  bool terminal_;
  bool lineOpen_ = false;
  std::chrono::steady_clock::time_point last_{};
};

}  // namespace zt::record
