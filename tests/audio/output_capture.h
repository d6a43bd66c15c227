// A real ZTOutput writing into a pipe that the test reads back, so that
// tests see exactly what a host would.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "output/ZTOutput.h"
#include "support/audio_events.h"

namespace zt::test {

class OutputCapture {
 public:
  // Builds the output on the main queue and lets it accept audio.
  OutputCapture();
  ~OutputCapture();

  ZTOutput* output() { return output_.get(); }

  // Writes out everything queued so far and answers the lines written since
  // the last call, in order. A failure latched by the output fails the test.
  std::vector<std::string> takeLines();
  // The same, each line parsed as an audio event; any other line fails.
  std::vector<AudioEvent> takeAudio();
  // The samples of `events`, concatenated in order.
  static std::vector<int16_t> samples(const std::vector<AudioEvent>& events);

 private:
  int fds_[2] = {-1, -1};
  std::unique_ptr<ZTOutput> output_;
};

}  // namespace zt::test
