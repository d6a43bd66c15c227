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

}  // namespace

TerminalKeys::TerminalKeys() { enable(); }

void TerminalKeys::enable() {
  // A job in the background that changed the terminal's mode or read from
  // it would be stopped by the terminal (SIGTTOU, SIGTTIN); it takes no keys.
  if (active_ || !isatty(0)) return;
  if (const pid_t foreground = tcgetpgrp(0); foreground != -1 && foreground != getpgrp()) return;
  if (tcgetattr(0, &saved) != 0) return;
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
