#include "terminal_keys.h"

#include <errno.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

namespace zt::record {

namespace {

termios saved;
bool savedValid = false;

// Also run at exit(), so a path that leaves without the destructor still
// gives the terminal back as it was.
void restoreSaved() {
  if (savedValid) tcsetattr(0, TCSAFLUSH, &saved);
  savedValid = false;
}

// A job in the background that changed the terminal's mode or read from
// it would be stopped by the terminal (SIGTTOU, SIGTTIN).
bool inForeground() {
  const pid_t foreground = tcgetpgrp(0);
  return foreground == -1 || foreground == getpgrp();
}

}  // namespace

TerminalKeys::TerminalKeys() { enable(); }

void TerminalKeys::enable() {
  if (!isatty(0) || !inForeground()) return;
  if (!savedValid && tcgetattr(0, &saved) != 0) return;
  termios raw = saved;
  raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
  raw.c_cc[VMIN] = 0;
  raw.c_cc[VTIME] = 0;
  if (tcsetattr(0, TCSAFLUSH, &raw) != 0) return;
  savedValid = true;
  static bool registered = false;
  if (!registered) atexit(restoreSaved);
  registered = true;
  active_ = true;
}

void TerminalKeys::follow() {
  if (!active_) {
    enable();
  } else if (!inForeground()) {
    // The shell has put its own mode back; leave the terminal to it, also
    // at exit.
    active_ = false;
    savedValid = false;
  }
}

TerminalKeys::~TerminalKeys() { restore(); }

void TerminalKeys::restore() {
  restoreSaved();
  active_ = false;
}

int TerminalKeys::readKey() {
  if (!active_) return -1;
  unsigned char c;
  ssize_t n;
  do n = read(0, &c, 1);
  while (n < 0 && errno == EINTR);
  return n == 1 ? c : -1;
}

}  // namespace zt::record
