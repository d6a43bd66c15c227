// Single key presses from a terminal on standard input: raw mode (no line
// editing, no echo) while recording, restored on every way out that runs
// code and while the recorder is stopped. Ctrl-C and Ctrl-Z still raise
// their signals.
#pragma once

namespace zt::record {

class TerminalKeys {
 public:
  // Raw mode when standard input is a terminal and the recorder is in its
  // foreground; otherwise inactive.
  TerminalKeys();
  ~TerminalKeys();
  TerminalKeys(const TerminalKeys&) = delete;
  TerminalKeys& operator=(const TerminalKeys&) = delete;

  bool active() const { return active_; }
  int fd() const { return 0; }
  // The next key, or -1 when none is waiting.
  int readKey();
  // Raw mode again after restore() or a move to the foreground, on the
  // same terms as at construction.
  void enable();
  void restore();

 private:
  bool active_ = false;
};

}  // namespace zt::record
