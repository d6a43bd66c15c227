#include "status_display.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

namespace zt::record {

namespace {

std::string clock(double seconds) {
  const long total = static_cast<long>(seconds * 10);
  char text[32];
  snprintf(text, sizeof text, "%02ld:%02ld.%ld", total / 600, total / 10 % 60, total % 10);
  return text;
}

// "-12.3" or "-inf", for the narrowest layouts.
std::string shortDecibels(double db) {
  char text[16];
  if (std::isinf(db))
    snprintf(text, sizeof text, "-inf");
  else
    snprintf(text, sizeof text, "%.1f", db);
  return text;
}

}  // namespace

StatusDisplay::StatusDisplay(bool terminal, int columns) : terminal_(terminal), columns_(columns) {}

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

std::string StatusDisplay::compose(const Status& s, int columns) {
  const size_t room = static_cast<size_t>(std::max(columns - 1, 0));
  const std::string time = clock(s.recordedSeconds);
  std::vector<std::string> layouts;
  // Wider meters first; the keys are also told when the recording starts.
  for (int bar = 12; bar >= 4; bar -= 4)
    for (const char* hint : {"  (space: pause/resume, q: stop)", "  (space, q)", ""}) {
      if (*hint && !s.keys) continue;
      layouts.push_back(time + "  system " + meter(s.systemPeakDb, bar) + "  mic " +
                        meter(s.microphonePeakDb, bar) + "  " + s.state + hint);
    }
  layouts.push_back(time + "  sys " + shortDecibels(s.systemPeakDb) + "  mic " +
                    shortDecibels(s.microphonePeakDb) + "  " + s.state);
  layouts.push_back(time + " " + s.state);
  for (const auto& line : layouts)
    if (line.size() <= room) return line;
  return time.substr(0, room);
}

void StatusDisplay::show(const Status& s, std::chrono::steady_clock::time_point now) {
  last_ = now;
  // No status is worth holding up the recording for: with the terminal
  // stopped by Ctrl-S, or a reader that does not read, it is left out.
  pollfd out{1, POLLOUT, 0};
  if (poll(&out, 1, 0) != 1) return;
  std::string line;
  if (terminal_) {
    // In the background the line would be drawn over what the person types.
    if (const pid_t foreground = tcgetpgrp(1); foreground != -1 && foreground != getpgrp()) return;
    // Carriage return and erase-to-end: the line is redrawn in place.
    line = "\r\033[K" + compose(s, columns_);
    lineOpen_ = true;
  } else {
    line = clock(s.recordedSeconds) + " " + s.state + "  system peak " + decibels(s.systemPeakDb) +
           "  microphone peak " + decibels(s.microphonePeakDb) + "\n";
  }
  fputs(line.c_str(), stdout);
  fflush(stdout);
}

void StatusDisplay::clearLine() {
  if (!lineOpen_) return;
  fputs("\r\033[K", stdout);
  fflush(stdout);
  lineOpen_ = false;
}

void StatusDisplay::note(const std::string& text) {
  clearLine();
  fputs((text + "\n").c_str(), stdout);
  fflush(stdout);
}

int terminalColumns(int fd) {
  winsize size{};
  if (ioctl(fd, TIOCGWINSZ, &size) != 0 || size.ws_col == 0) return 80;
  return size.ws_col;
}

}  // namespace zt::record
