#include "support/child_process.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <thread>
#include <utility>

namespace zt::test {

std::chrono::milliseconds leftUntil(std::chrono::steady_clock::time_point deadline) {
  return std::max(std::chrono::milliseconds(0), std::chrono::duration_cast<std::chrono::milliseconds>(
                                                    deadline - std::chrono::steady_clock::now()));
}

bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout,
               std::chrono::milliseconds step) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  for (; !done(); std::this_thread::sleep_for(step))
    if (std::chrono::steady_clock::now() >= end) return false;
  return true;
}

std::optional<std::string> LineReader::next(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    const size_t nl = buffer_.find('\n');
    if (nl != std::string::npos) {
      std::string line = buffer_.substr(0, nl);
      buffer_.erase(0, nl + 1);
      return line;
    }
    const auto left = leftUntil(deadline);
    if (eof_ || left.count() <= 0) return std::nullopt;
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    char chunk[65536];
    const ssize_t n = read(fd_, chunk, sizeof chunk);
    if (n > 0)
      buffer_.append(chunk, static_cast<size_t>(n));
    else if (n == 0 || (errno != EAGAIN && errno != EINTR))
      eof_ = true;
  }
}

std::vector<std::string> LineReader::rest(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::vector<std::string> lines;
  while (auto line = next(leftUntil(deadline))) lines.push_back(std::move(*line));
  return lines;
}

Child::Child(const std::string& path, const ChildOptions& options) {
  int inPipe[2] = {-1, -1}, outPipe[2] = {-1, -1}, errPipe[2];
  const int null = options.quiet ? open("/dev/null", O_RDWR | O_CLOEXEC) : -1;
  const int stdinFd = options.quiet ? null : options.stdinFd;
  if ((stdinFd == -1 && pipe2(inPipe, O_CLOEXEC) != 0) || pipe2(outPipe, O_CLOEXEC) != 0 ||
      pipe2(errPipe, O_CLOEXEC) != 0)
    abort();
  // Built before the fork: the child may only make async-signal-safe calls.
  std::vector<std::string> argvStore{path}, envStore;
  argvStore.insert(argvStore.end(), options.args.begin(), options.args.end());
  for (char** e = environ; *e; ++e) envStore.emplace_back(*e);
  for (auto& [k, v] : options.env) envStore.push_back(k + "=" + v);
  std::vector<char*> argv{nullptr}, envp{nullptr};
  for (auto& a : argvStore) argv.insert(argv.end() - 1, a.data());
  for (auto& e : envStore) envp.insert(envp.end() - 1, e.data());
  pid_ = fork();
  if (pid_ == 0) {
    if (stdinFd == ChildOptions::kClosed)
      close(0);
    else
      dup2(stdinFd >= 0 ? stdinFd : inPipe[0], 0);
    dup2(options.quiet ? null : outPipe[1], 1);
    dup2(options.quiet ? null : errPipe[1], 2);
    // A host's child starts with default signal dispositions.
    ::signal(SIGPIPE, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execvpe(path.c_str(), argv.data(), envp.data());
    _exit(127);
  }
  for (const int fd : {null, inPipe[0], outPipe[1], errPipe[1]})
    if (fd >= 0) close(fd);
  in_ = inPipe[1];
  out_.emplace(outFd_ = outPipe[0]);
  err_ = errPipe[0];
  fcntl(err_, F_SETFL, O_NONBLOCK);
}

Child::~Child() {
  if (!status_) {
    kill(pid_, SIGKILL);
    wait(std::chrono::seconds(5));
  }
  for (const int fd : {in_, outFd_, err_})
    if (fd >= 0) close(fd);
}

bool Child::write(const std::string& bytes) {
  for (size_t done = 0; done < bytes.size();) {
    const ssize_t n = ::write(in_, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

void Child::closeStdin() { close(std::exchange(in_, -1)); }
void Child::closeStdout() { close(std::exchange(outFd_, -1)); }

void Child::signal(int sig) { kill(pid_, sig); }

bool isAudioLine(const std::string& line) { return line.find("\"event\":\"audio\"") != std::string::npos; }

std::optional<std::string> Child::nextControl(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (auto line = out_->next(leftUntil(deadline))) {
    if (!isAudioLine(*line)) return line;
    audio.push_back(std::move(*line));
  }
  return std::nullopt;
}

int Child::wait(std::chrono::milliseconds timeout) {
  int st = 0;
  if (!status_ && waitUntil([&] { return wait4(pid_, &st, WNOHANG, &usage_) == pid_; }, timeout,
                            std::chrono::milliseconds(2)))
    status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  return status_.value_or(-1);
}

int Child::finish(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  if (outFd_ >= 0)
    while (auto line = nextControl(leftUntil(deadline))) remaining.push_back(std::move(*line));
  const int st = wait(std::max(leftUntil(deadline), std::chrono::milliseconds(1)));
  if (st == -1) {
    kill(pid_, SIGKILL);
    wait(std::chrono::seconds(5));
  }
  return st;
}

std::string Child::stderrText() {
  char chunk[4096];
  for (ssize_t n; (n = read(err_, chunk, sizeof chunk)) > 0;) errText_.append(chunk, static_cast<size_t>(n));
  return errText_;
}

ProgramRun runProgram(const std::string& program, const std::vector<std::string>& args,
                      const std::map<std::string, std::string>& env, std::chrono::milliseconds timeout) {
  Child child(program, ChildOptions{args, env});
  child.closeStdin();
  ProgramRun run;
  run.status = child.finish(timeout);
  for (const auto& line : child.remaining) run.out += line + "\n";
  for (const auto& line : child.audio) run.out += line + "\n";
  run.out += child.out().partial();
  run.err = child.stderrText();
  return run;
}

pid_t startQuiet(const std::vector<std::string>& args) {
  return Child(args[0], ChildOptions{{args.begin() + 1, args.end()}, {}, -1, true}).release();
}

void endProcess(pid_t pid) {
  if (pid <= 0) return;
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
}

bool waitProcess(pid_t pid, std::chrono::milliseconds timeout) {
  return waitUntil([pid] { return waitpid(pid, nullptr, WNOHANG) == pid; }, timeout);
}

}  // namespace zt::test
