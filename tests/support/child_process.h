// Every child process the tests and benchmarks start.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace zt::test {

// What is left of the time until `deadline`, never negative.
std::chrono::milliseconds leftUntil(std::chrono::steady_clock::time_point deadline);
// Asks `done` every `step` until it holds (true) or `timeout` passed (false).
bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout,
               std::chrono::milliseconds step = std::chrono::milliseconds(20));

// Newline-ended lines from a descriptor, read with a deadline.
class LineReader {
 public:
  explicit LineReader(int fd) : fd_(fd) {}
  // The next whole line, or nothing at the deadline or the end of input.
  std::optional<std::string> next(std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // Every line until the end of input (or the deadline).
  std::vector<std::string> rest(std::chrono::milliseconds timeout = std::chrono::seconds(30));
  // Bytes received after the last newline.
  const std::string& partial() const { return buffer_; }

 private:
  int fd_;
  std::string buffer_;
  bool eof_ = false;
};

struct ChildOptions {
  std::vector<std::string> args;           // after the executable's name
  std::map<std::string, std::string> env;  // added to the environment
  // Standard input from this descriptor instead of a pipe; kClosed: none.
  static constexpr int kClosed = -2;
  int stdinFd = -1;
  bool quiet = false;  // all three standard descriptors on /dev/null
};

class Child {
 public:
  Child(const std::string& path, const ChildOptions& options = {});
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  pid_t pid() const { return pid_; }
  // False when standard input is closed.
  bool write(const std::string& bytes);
  void send(const std::string& command) { write("{\"command\":\"" + command + "\"}\n"); }
  void closeStdin();
  void closeStdout();
  void signal(int sig);

  LineReader& out() { return *out_; }
  // The next non-audio line; audio lines on the way are kept in `audio`.
  std::optional<std::string> nextControl(std::chrono::milliseconds timeout = std::chrono::seconds(15));
  std::vector<std::string> audio;

  // Reads to the end and answers the status (128+N: signal N; -1: killed late).
  int finish(std::chrono::milliseconds timeout = std::chrono::seconds(30));
  std::vector<std::string> remaining;
  std::string stderrText();
  // Waits for the exit without reading (-1: not in time).
  int wait(std::chrono::milliseconds timeout);
  const rusage& usage() const { return usage_; }
  // Lets the process live on once the object goes: nothing to kill or wait for.
  pid_t release() {
    status_ = 0;
    return pid_;
  }

 private:
  pid_t pid_ = -1;
  int in_ = -1, outFd_ = -1, err_ = -1;
  std::optional<LineReader> out_;
  std::string errText_;
  std::optional<int> status_;
  rusage usage_{};
};

bool isAudioLine(const std::string& line);

struct ProgramRun {
  int status = -1;  // as Child::finish
  std::string out, err;
};

// Runs `program` to its end with nothing on its standard input.
ProgramRun runProgram(const std::string& program, const std::vector<std::string>& args,
                      const std::map<std::string, std::string>& env = {},
                      std::chrono::milliseconds timeout = std::chrono::seconds(60));

// A program in the background with no input or output.
pid_t startQuiet(const std::vector<std::string>& args);
void endProcess(pid_t pid);  // kills and reaps
bool waitProcess(pid_t pid, std::chrono::milliseconds timeout);

}  // namespace zt::test
