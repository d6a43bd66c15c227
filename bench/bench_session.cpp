// Whole-process cost of capture on the scripted platform: both sources
// playing faster than real time (48 kHz stereo float system audio in 10 ms
// buffers, 48 kHz mono float microphone from the 1024-frame tap), a host
// that reads everything. Reports CPU time per second of captured audio and
// peak resident memory.
//
// Admission refuses work it cannot keep up with ("AUDIO_BACKPRESSURE"), so
// the run is repeated at half the speed until it completes without one.
//
//   bench_session [SIM_HELPER] [SECONDS_OF_AUDIO] [SPEED]
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

#include "process_stats.h"

namespace {

int runAt(const std::string& helper, double seconds, double speed) {
  const long systemBuffers = static_cast<long>(seconds * 100);
  const long microphoneBuffers = static_cast<long>(seconds * 48000 / 1024);
  char path[] = "/tmp/zt-bench-scenario-XXXXXX";
  close(mkstemp(path));
  std::ofstream(path)
      << "{\"streams\":[{\"audio\":{\"format\":{\"type\":\"float32\",\"rate\":48000,\"channels\":2},"
         "\"frames\":480,\"frequency\":1000,\"speed\":"
      << speed << ",\"buffers\":" << systemBuffers
      << "}}],\"engines\":[{\"inputFormat\":{\"type\":\"float32\",\"rate\":48000,\"channels\":1},"
         "\"audio\":{\"frequency\":440,\"speed\":"
      << speed << ",\"buffers\":" << microphoneBuffers << "}}]}";
  // The host waits for each state before the next command; here the input is
  // timed instead: "start" once prepared, "stop" once everything played.
  const double playSeconds = seconds / speed + 0.5;
  int inPipe[2];
  if (pipe2(inPipe, O_CLOEXEC) != 0) return 1;
  std::thread feeder([&] {
    auto say = [&](const char* line) { return write(inPipe[1], line, strlen(line)) >= 0; };
    if (say("{\"command\":\"prepare\"}\n")) {
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      if (say("{\"command\":\"start\"}\n")) {
        std::this_thread::sleep_for(std::chrono::duration<double>(playSeconds));
        say("{\"command\":\"stop\"}\n");
      }
    }
    close(inPipe[1]);
  });

  long audioLines = 0, bytes = 0, errors = 0;
  std::string partial;
  const auto cost = zt::bench::runChild(
      helper, "", {{"ZT_SIM_SCENARIO", path}},
      [&](const char* data, size_t n) {
        bytes += static_cast<long>(n);
        partial.append(data, n);
        size_t start = 0;
        for (size_t nl; (nl = partial.find('\n', start)) != std::string::npos; start = nl + 1) {
          const std::string_view line(partial.data() + start, nl - start);
          if (line.find("\"event\":\"audio\"") != std::string_view::npos) ++audioLines;
          if (line.find("\"event\":\"error\"") != std::string_view::npos) ++errors;
        }
        partial.erase(0, start);
      },
      inPipe[0]);
  close(inPipe[0]);
  feeder.join();
  unlink(path);
  std::printf("captured: %.1f s of each source at %.0fx real time (%ld audio events, %.1f MB of output)\n",
              seconds, speed, audioLines, bytes / 1e6);
  std::printf("status %d, error events %ld\n", cost.status, errors);
  std::printf("CPU: %.3f s in all, %.3f ms per second of captured audio (both sources)\n", cost.cpuSeconds,
              cost.cpuSeconds * 1000 / seconds);
  std::printf("wall: %.2f s; peak RSS: %.2f MB\n", cost.wallSeconds, cost.peakRssKiB / 1024.0);
  return cost.status == 0 && errors == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string helper = argc > 1 ? argv[1] : ZT_SIM_HELPER_PATH;
  const double seconds = argc > 2 ? std::atof(argv[2]) : 60;
  for (double speed = argc > 3 ? std::atof(argv[3]) : 20; speed >= 1; speed /= 2) {
    if (runAt(helper, seconds, speed) == 0) return 0;
    std::printf("-- the run ended in an error; again at half the speed\n");
  }
  return 1;
}
