// What the person watching sees while recording: on a terminal one status
// line redrawn in place, never wider than the terminal; otherwise one
// progress line a second.
#pragma once

#include <chrono>
#include <string>

namespace zt::record {

struct Status {
  double recordedSeconds = 0;  // audio received, pauses left out
  double systemPeakDb = 0;     // peak of the last refresh period, dBFS
  double microphonePeakDb = 0;
  std::string state;  // the helper's state, in words
  bool keys = false;  // space and q work
};

class StatusDisplay {
 public:
  // `terminal`: standard output is a terminal `columns` wide.
  StatusDisplay(bool terminal, int columns);

  bool terminal() const { return terminal_; }
  void setColumns(int columns) { columns_ = columns; }
  // Whether a refresh is due at `now` (10 a second on a terminal, 1 a
  // second otherwise).
  bool due(std::chrono::steady_clock::time_point now) const;
  void show(const Status& status, std::chrono::steady_clock::time_point now);
  // Erases the live line, so other text starts on a clean line and no
  // stale status stays on the screen.
  void clearLine();
  // A line of its own on standard output.
  void note(const std::string& text);

  // The live line for a terminal `columns` wide: the richest layout that
  // leaves the last column free, so the terminal never wraps it.
  static std::string compose(const Status& status, int columns);
  // "[#####-----] -12.3 dBFS": 0 dBFS fills the bar, -60 dBFS empties it.
  static std::string meter(double db, int width);
  // "-12.3 dBFS" or " -inf dBFS".
  static std::string decibels(double db);

 private:
  bool terminal_;
  int columns_;
  bool lineOpen_ = false;
  std::chrono::steady_clock::time_point last_{};
};

// The width of the terminal on `fd`, or 80 when it does not say.
int terminalColumns(int fd);

}  // namespace zt::record
