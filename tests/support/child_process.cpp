#include "support/child_process.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <thread>

namespace zt::test {

Child::Child(const std::string& path, const ChildOptions& options) {
  int inPipe[2] = {-1, -1}, outPipe[2] = {-1, -1}, errPipe[2];
  const int null = options.quiet ? open("/dev/null", O_RDWR | O_CLOEXEC) : -1;
  const int stdinFd = options.quiet ? null : options.stdinFd;
  if ((stdinFd == -1 && pipe2(inPipe, O_CLOEXEC) != 0) || pipe2(outPipe, O_CLOEXEC) != 0 ||
      pipe2(errPipe, O_CLOEXEC) != 0)
    abort();
  std::vector<std::string> argvStore{path};
  argvStore.insert(argvStore.end(), options.args.begin(), options.args.end());
  std::vector<std::string> envStore;
  for (char** e = environ; *e; ++e) envStore.emplace_back(*e);
  for (auto& [k, v] : options.env) envStore.push_back(k + "=" + v);
  std::vector<char*> argv, envp;
  for (auto& a : argvStore) argv.push_back(a.data());
  for (auto& e : envStore) envp.push_back(e.data());
  argv.push_back(nullptr);
  envp.push_back(nullptr);

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
  if (null >= 0) close(null);
  if (stdinFd == -1) {
    close(inPipe[0]);
    in_ = inPipe[1];
  }
  close(outPipe[1]);
  outFd_ = outPipe[0];
  out_.emplace(outFd_);
  close(errPipe[1]);
  err_ = errPipe[0];
  fcntl(err_, F_SETFL, O_NONBLOCK);
}

Child::~Child() {
  if (!status_) {
    kill(pid_, SIGKILL);
    wait(std::chrono::seconds(5));
  }
  if (in_ >= 0) close(in_);
  if (outFd_ >= 0) close(outFd_);
  if (err_ >= 0) close(err_);
}

bool Child::write(const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(in_, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

void Child::closeStdin() {
  if (in_ >= 0) close(in_);
  in_ = -1;
}

void Child::closeStdout() {
  if (outFd_ >= 0) close(outFd_);
  outFd_ = -1;
}

void Child::signal(int sig) { kill(pid_, sig); }

pid_t Child::release() {
  status_ = 0;  // not to be killed or waited for by the destructor
  return pid_;
}

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
  if (status_) return *status_;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    int st = 0;
    const pid_t r = wait4(pid_, &st, WNOHANG, &usage_);
    if (r == pid_) {
      status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
      return *status_;
    }
    if (std::chrono::steady_clock::now() > deadline) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
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
  ChildOptions options;
  options.args.assign(args.begin() + 1, args.end());
  options.quiet = true;
  return Child(args[0], options).release();
}

void endProcess(pid_t pid) {
  if (pid <= 0) return;
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
}

bool waitProcess(pid_t pid, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (waitpid(pid, nullptr, WNOHANG) != pid) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

}  // namespace zt::test
