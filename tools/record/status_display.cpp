#include "status_display.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace zt::record {

namespace {

std::string clock(double seconds, bool tenths) {
  const long total = static_cast<long>(seconds * 10);
  char text[32];
  if (tenths)
    snprintf(text, sizeof text, "%02ld:%02ld.%ld", total / 600, total / 10 % 60, total % 10);
  else
    snprintf(text, sizeof text, "%02ld:%02ld", total / 600, total / 10 % 60);
  return text;
}

}  // namespace

StatusDisplay::StatusDisplay(bool terminal) : terminal_(terminal) {}

bool StatusDisplay::due(std::chrono::steady_clock::time_point now) const {
  return now - last_ >= (terminal_ ? std::chrono::milliseconds(100) : std::chrono::milliseconds(1000));
}

std::string StatusDisplay::decibels(double db) {
  char text[32];
  if (std::isinf(db))
    snprintf(text, sizeof text, " -inf dBFS");
  else
    snprintf(text, sizeof text, "%5.1f dBFS", db);
  return text;
}

std::string StatusDisplay::meter(double db, int width) {
  const double fraction = std::isinf(db) ? 0 : std::clamp((db + 60.0) / 60.0, 0.0, 1.0);
  const int filled = static_cast<int>(std::lround(fraction * width));
  return "[" + std::string(filled, '#') + std::string(width - filled, '-') + "] " + decibels(db);
}

void StatusDisplay::show(const Status& s, std::chrono::steady_clock::time_point now) {
  last_ = now;
  std::string line;
  if (terminal_) {
    // Carriage return and erase-to-end: the line is redrawn in place.
    line = "\r\033[K" + clock(s.elapsedSeconds, true) + "  system " + meter(s.systemPeakDb, 12) + "  mic " +
           meter(s.microphonePeakDb, 12) + "  " + s.state;
    if (s.keys) line += "  (space: pause/resume, q: stop)";
    lineOpen_ = true;
  } else {
    line = clock(s.elapsedSeconds, false) + " " + s.state + "  system peak " + decibels(s.systemPeakDb) +
           "  microphone peak " + decibels(s.microphonePeakDb) + "\n";
  }
  fputs(line.c_str(), stdout);
  fflush(stdout);
}

void StatusDisplay::breakLine() {
  if (!lineOpen_) return;
  fputs("\n", stdout);
  fflush(stdout);
  lineOpen_ = false;
}

void StatusDisplay::note(const std::string& text) {
  breakLine();
  fputs((text + "\n").c_str(), stdout);
  fflush(stdout);
}

}  // namespace zt::record
