// Whole-process cost of the shortest session: spawn, {"command":"stop"},
// "ended", exit. Reports the median wall time over many runs and the peak
// resident memory.
//
//   bench_startup [HELPER] [RUNS]
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "process_stats.h"

int main(int argc, char** argv) {
  const std::string helper = argc > 1 ? argv[1] : ZT_HELPER_PATH;
  const int runs = argc > 2 ? std::atoi(argv[2]) : 200;
  std::vector<double> wall;
  long peak = 0;
  int failures = 0;
  for (int i = 0; i < runs; ++i) {
    std::string output;
    const auto cost = zt::bench::runChild(helper, "{\"command\":\"stop\"}\n", {},
                                          [&](const char* data, size_t n) { output.append(data, n); });
    if (cost.status != 0 || output != "{\"event\":\"state\",\"state\":\"ended\"}\n") ++failures;
    wall.push_back(cost.wallSeconds * 1000);
    peak = std::max(peak, cost.peakRssKiB);
  }
  std::printf("helper: %s\nruns: %d (unexpected outcomes: %d)\n", helper.c_str(), runs, failures);
  std::printf("spawn to exit, median: %.2f ms (fastest %.2f ms)\n", zt::bench::median(wall),
              *std::min_element(wall.begin(), wall.end()));
  std::printf("peak RSS: %.2f MB\n", peak / 1024.0);
  return failures == 0 ? 0 : 1;
}
