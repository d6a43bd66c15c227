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
  // The next key, or -1 when none is waiting. Read one key for each time
  // poll() finds fd() readable: a read never waits then, whatever mode a
  // shell has put the terminal in.
  int readKey();
  // Raw mode, on the same terms as at construction: again after restore(),
  // or after the recorder was stopped (a shell puts its own mode back when
  // a job stops).
  void enable();
  // Called on every turn of the event loop: keys from the moment the
  // recorder has the terminal, none while it is in the background.
  void follow();
  void restore();

 private:
  bool active_ = false;
};

}  // namespace zt::record
