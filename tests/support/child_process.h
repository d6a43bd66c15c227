// Every child process the tests and benchmarks start: a helper as a host
// runs it (pipes on its standard input, output and error), a program run to
// its end, a player or a busy loop in the background.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "support/pipe_reader.h"

namespace zt::test {

struct ChildOptions {
  std::vector<std::string> args;           // after the executable's name
  std::map<std::string, std::string> env;  // added to the environment
  // Descriptor for standard input instead of a pipe (-1: pipe; kClosed:
  // the child starts with descriptor 0 closed).
  static constexpr int kClosed = -2;
  int stdinFd = -1;
  // Descriptor for standard output instead of a pipe (-1: pipe).
  int stdoutFd = -1;
  // All three standard descriptors on /dev/null instead.
  bool quiet = false;
};

class Child {
 public:
  Child(const std::string& path, const ChildOptions& options = {});
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  pid_t pid() const { return pid_; }
  // Writes all of `bytes` to the child's standard input (false when it is
  // closed).
  bool write(const std::string& bytes);
  void send(const std::string& command) { write("{\"command\":\"" + command + "\"}\n"); }
  void closeStdin();
  void closeStdout();
  void signal(int sig);

  LineReader& out() { return *out_; }
  // The next non-audio event line (audio lines are collected in `audio`).
  std::optional<std::string> nextControl(std::chrono::milliseconds timeout = std::chrono::seconds(15));
  std::vector<std::string> audio;

  // Reads everything to the end, waits for the exit and answers its status
  // (-1 when it did not exit in time, after which it is killed; 128+N for a
  // signal N).
  int finish(std::chrono::milliseconds timeout = std::chrono::seconds(30));
  // Control lines read by `finish`, in order.
  std::vector<std::string> remaining;
  // Everything the child wrote to standard error.
  std::string stderrText();
  // Waits for the exit without reading.
  int wait(std::chrono::milliseconds timeout);
  // What the ended child used, from its exit.
  const rusage& usage() const { return usage_; }
  // Lets the process go on once the object goes; answers its pid.
  pid_t release();

 private:
  pid_t pid_ = -1;
  int in_ = -1;
  int outFd_ = -1;
  int err_ = -1;
  std::optional<LineReader> out_;
  std::string errText_;
  std::optional<int> status_;
  rusage usage_{};
};

// Lines that are not audio events.
bool isAudioLine(const std::string& line);

struct ProgramRun {
  int status = -1;  // exit status; 128+N for signal N; -1 if it had to be killed
  std::string out;  // standard output
  std::string err;  // standard error
};

// Runs `program` (looked up on PATH without a slash) with `args` and extra
// `env` to the end, with nothing on its standard input; killed after
// `timeout`.
ProgramRun runProgram(const std::string& program, const std::vector<std::string>& args,
                      const std::map<std::string, std::string>& env = {},
                      std::chrono::milliseconds timeout = std::chrono::seconds(60));

// A program in the background with no input or output (a player, a busy
// loop); `endProcess` kills and reaps it, `waitProcess` waits for its exit.
pid_t startQuiet(const std::vector<std::string>& args);
void endProcess(pid_t pid);
bool waitProcess(pid_t pid, std::chrono::milliseconds timeout);

}  // namespace zt::test
