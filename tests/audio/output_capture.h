// A real ZTOutput writing into a pipe, with a thread that reads the lines
// back, so that tests see exactly what a host would.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "output/ZTOutput.h"

namespace zt::test {

struct AudioEvent {
  std::string source;
  std::vector<uint8_t> pcm;
};

class OutputCapture {
 public:
  // Builds the output on the main queue and lets it accept audio.
  OutputCapture();
  ~OutputCapture();
  OutputCapture(const OutputCapture&) = delete;
  OutputCapture& operator=(const OutputCapture&) = delete;

  ZTOutput* output() { return output_.get(); }

  // Waits until every line queued so far has come through the pipe and
  // answers the lines received since the last call, in order. A line that
  // is not a well-formed audio event, or a failure latched by the output,
  // fails the current test.
  std::vector<AudioEvent> takeAudio();
  // The same for any line, unparsed.
  std::vector<std::string> takeLines();

  // The samples of `events`, concatenated in order (little-endian PCM).
  static std::vector<int16_t> samples(const std::vector<AudioEvent>& events);

 private:
  void readLoop();

  int readFd_ = -1;
  int writeFd_ = -1;
  std::unique_ptr<ZTOutput> output_;
  std::thread reader_;
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::vector<std::string> lines_;
  bool readerDone_ = false;
  uint64_t nextMarker_ = 0;
};

}  // namespace zt::test
