#include "helper_process.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

namespace zt::record {

std::string HelperExit::describe() const {
  if (exited) return "exit status " + std::to_string(status);
  return "killed by signal " + std::to_string(status) + " (" + strsignal(status) + ")";
}

std::unique_ptr<HelperProcess> HelperProcess::start(const std::string& path, std::string* error) {
  int in[2], out[2], status[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(status, O_CLOEXEC) != 0) {
    *error = std::string("cannot create pipes: ") + strerror(errno);
    return nullptr;
  }
  const pid_t pid = fork();
  if (pid < 0) {
    *error = std::string("cannot fork: ") + strerror(errno);
    return nullptr;
  }
  if (pid == 0) {
    // Its own process group: Ctrl-C reaches the recorder only, which then
    // stops the helper in order with "stop".
    setpgid(0, 0);
    dup2(in[0], 0);
    dup2(out[1], 1);
    signal(SIGPIPE, SIG_DFL);
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    char* argv[] = {const_cast<char*>(path.c_str()), nullptr};
    execv(path.c_str(), argv);
    // Tell the parent why; the status pipe closes unwritten on success.
    const int reason = errno;
    (void)!write(status[1], &reason, sizeof reason);
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  close(status[1]);
  int reason = 0;
  ssize_t n;
  do n = read(status[0], &reason, sizeof reason);
  while (n < 0 && errno == EINTR);
  close(status[0]);
  if (n == sizeof reason) {
    *error = "cannot start the helper " + path + ": " + strerror(reason);
    waitpid(pid, nullptr, 0);
    close(in[1]);
    close(out[0]);
    return nullptr;
  }
  fcntl(out[0], F_SETFL, fcntl(out[0], F_GETFL) | O_NONBLOCK);
  return std::unique_ptr<HelperProcess>(new HelperProcess(pid, in[1], out[0]));
}

HelperProcess::~HelperProcess() {
  if (!exit_) {
    kill();
  }
  if (in_ >= 0) close(in_);
  close(out_);
}

bool HelperProcess::send(const std::string& word) {
  if (in_ < 0) return false;
  const std::string line = "{\"command\":\"" + word + "\"}\n";
  size_t done = 0;
  while (done < line.size()) {
    const ssize_t n = write(in_, line.data() + done, line.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;  // EPIPE: the helper is gone (SIGPIPE is ignored)
    done += static_cast<size_t>(n);
  }
  return true;
}

bool HelperProcess::readLines(std::vector<std::string>* lines) {
  char buffer[65536];
  for (;;) {
    const ssize_t n = read(out_, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK;
    if (n == 0) return false;
    partial_.append(buffer, static_cast<size_t>(n));
    size_t start = 0;
    for (size_t at; (at = partial_.find('\n', start)) != std::string::npos; start = at + 1)
      lines->push_back(partial_.substr(start, at - start));
    partial_.erase(0, start);
  }
}

std::optional<HelperExit> HelperProcess::wait(std::chrono::milliseconds timeout) {
  if (exit_) return exit_;
  const auto end = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    int status = 0;
    const pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      HelperExit e;
      e.exited = WIFEXITED(status);
      e.status = e.exited ? WEXITSTATUS(status) : WTERMSIG(status);
      exit_ = e;
      return exit_;
    }
    if (r < 0 && errno != EINTR) return std::nullopt;
    if (std::chrono::steady_clock::now() >= end) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

void HelperProcess::kill() {
  if (exit_) return;
  ::kill(pid_, SIGKILL);
  wait(std::chrono::seconds(5));
}

std::string helperNextToSelf() {
  char self[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return "zentrell-audio-helper";
  std::string path(self, static_cast<size_t>(n));
  return path.substr(0, path.rfind('/') + 1) + "zentrell-audio-helper";
}

}  // namespace zt::record
