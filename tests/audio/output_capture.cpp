#include "audio/output_capture.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "base/dispatch.h"

namespace zt::test {

OutputCapture::OutputCapture() {
  EXPECT_EQ(pipe2(fds_, O_CLOEXEC), 0);
  fcntl(fds_[0], F_SETFL, O_NONBLOCK);
  zt::sync(zt::mainQueue(), [&] {
    output_ =
        std::make_unique<ZTOutput>(fds_[1], [](int status) { ADD_FAILURE() << "output exited " << status; });
    output_->setAcceptingAudio(true);
  });
}

// The output is destroyed on the main queue, where its sources run.
OutputCapture::~OutputCapture() {
  zt::sync(zt::mainQueue(), [&] { output_.reset(); });
  close(fds_[0]);
  close(fds_[1]);
}

std::vector<std::string> OutputCapture::takeLines() {
  std::string text;
  for (;;) {
    ZTOutput::State state;
    zt::sync(zt::mainQueue(), [&] {
      EXPECT_EQ(output_->stateForTesting().pendingError, "") << "the output latched a failure";
      output_->flush();
      state = output_->stateForTesting();
    });
    char chunk[65536];
    for (ssize_t n; (n = read(fds_[0], chunk, sizeof chunk)) > 0;) text.append(chunk, static_cast<size_t>(n));
    EXPECT_FALSE(state.broken);
    if (state.lineCount == 0 || state.broken) break;
  }
  std::vector<std::string> lines;
  for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1)
    lines.push_back(text.substr(at, end - at));
  return lines;
}

std::vector<AudioEvent> OutputCapture::takeAudio() {
  std::vector<AudioEvent> events;
  for (const std::string& line : takeLines()) {
    if (auto event = parseAudioEvent(line))
      events.push_back(std::move(*event));
    else
      ADD_FAILURE() << "not an audio event: " << line.substr(0, 200);
  }
  return events;
}

std::vector<int16_t> OutputCapture::samples(const std::vector<AudioEvent>& events) {
  std::vector<int16_t> out;
  for (const AudioEvent& event : events) out.insert(out.end(), event.samples.begin(), event.samples.end());
  return out;
}

}  // namespace zt::test
