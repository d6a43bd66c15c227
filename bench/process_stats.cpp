#include "process_stats.h"

#include <algorithm>
#include <chrono>

#include "support/child_process.h"

namespace zt::bench {

ChildCost runChild(const std::string& path, const std::string& input,
                   const std::map<std::string, std::string>& env,
                   const std::function<void(const char*, size_t)>& onOutput, int stdinFd) {
  zt::test::ChildOptions options;
  options.env = env;
  options.stdinFd = stdinFd;
  const auto start = std::chrono::steady_clock::now();
  zt::test::Child child(path, options);
  ChildCost cost;
  // Small inputs fit the pipe at once, so writing them first never stalls.
  if (!input.empty() && !child.write(input)) cost.status = -2;
  child.closeStdin();
  while (auto line = child.out().next(std::chrono::hours(1))) {
    line->push_back('\n');
    if (onOutput) onOutput(line->data(), line->size());
  }
  const int status = child.wait(std::chrono::hours(1));
  cost.wallSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (cost.status == 0) cost.status = status;
  const rusage& usage = child.usage();
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
