// Runs a child process and reports what it cost: wall time, CPU time and
// peak resident memory, from wait4's resource usage.
#pragma once

#include <sys/types.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace zt::bench {

struct ChildCost {
  int status = 0;
  double wallSeconds = 0;
  double cpuSeconds = 0;  // user + system
  long peakRssKiB = 0;
};

// Spawns `path` with `input` on its standard input (or the descriptor
// `stdinFd`, when given) and `env` added to the environment; `onOutput` sees
// every chunk of standard output.
ChildCost runChild(const std::string& path, const std::string& input,
                   const std::map<std::string, std::string>& env,
                   const std::function<void(const char*, size_t)>& onOutput, int stdinFd = -1);

double median(std::vector<double> values);

}  // namespace zt::bench
