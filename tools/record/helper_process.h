// The helper as a child process: commands to its standard input, event
// lines from its standard output. Its standard error is the recorder's.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace zt::record {

// How the helper ended, in words ("exit status 1", "killed by signal 9").
struct HelperExit {
  bool exited = false;
  int status = 0;  // exit status, or the signal number
  std::string describe() const;
};

class HelperProcess {
 public:
  // Starts `path` with no arguments. Nothing, with the reason in `error`,
  // when it cannot be executed.
  static std::unique_ptr<HelperProcess> start(const std::string& path, std::string* error);
  // Kills the helper if it still runs.
  ~HelperProcess();
  HelperProcess(const HelperProcess&) = delete;
  HelperProcess& operator=(const HelperProcess&) = delete;

  // For poll(): readable when events (or the end of them) arrive.
  int eventsFd() const { return out_; }
  // Writes {"command":WORD} and a newline; false when the helper no longer
  // reads.
  bool send(const std::string& word);
  // Reads what is available and appends the complete lines; false once the
  // helper has closed its standard output.
  bool readLines(std::vector<std::string>* lines);
  // Waits up to `timeout` for the helper to end.
  std::optional<HelperExit> wait(std::chrono::milliseconds timeout);
  void kill();

 private:
  HelperProcess(pid_t pid, int in, int out) : pid_(pid), in_(in), out_(out) {}

  pid_t pid_;
  int in_;
  int out_;
  std::string partial_;
  std::optional<HelperExit> exit_;
};

// The default helper: zentrell-audio-helper in the same folder as the
// running executable.
std::string helperNextToSelf();

}  // namespace zt::record
