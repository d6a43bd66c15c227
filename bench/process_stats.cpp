#include "process_stats.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

extern char** environ;

namespace zt::bench {

ChildCost runChild(const std::string& path, const std::string& input,
                   const std::map<std::string, std::string>& env,
                   const std::function<void(const char*, size_t)>& onOutput, int stdinFd) {
  int in[2], out[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return {};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, stdinFd >= 0 ? stdinFd : in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  std::vector<std::string> envStore;
  for (char** e = environ; *e; ++e) envStore.emplace_back(*e);
  for (const auto& [k, v] : env) envStore.push_back(k + "=" + v);
  std::vector<char*> envp;
  for (auto& e : envStore) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::string arg0 = path;
  char* argv[] = {arg0.data(), nullptr};

  const auto start = std::chrono::steady_clock::now();
  pid_t pid = -1;
  const int spawned = posix_spawn(&pid, path.c_str(), &actions, nullptr, argv, envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(in[0]);
  close(out[1]);
  ChildCost cost;
  cost.status = 0;
  if (spawned != 0) {
    cost.status = -1;
    close(in[1]);
    close(out[0]);
    return cost;
  }
  // Small inputs fit the pipe at once, so writing them first never stalls.
  if (!input.empty() && write(in[1], input.data(), input.size()) != static_cast<ssize_t>(input.size()))
    cost.status = -2;
  close(in[1]);
  char chunk[65536];
  for (;;) {
    const ssize_t n = read(out[0], chunk, sizeof chunk);
    if (n <= 0) break;
    if (onOutput) onOutput(chunk, static_cast<size_t>(n));
  }
  close(out[0]);
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  cost.wallSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (cost.status == 0) cost.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  cost.cpuSeconds = usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec +
                    usage.ru_stime.tv_usec / 1e6;
  cost.peakRssKiB = usage.ru_maxrss;
  return cost;
}

double median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace zt::bench
