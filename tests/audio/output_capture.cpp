#include "audio/output_capture.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>

#include "audio/event_lines.h"
#include "base/dispatch.h"
#include "support/pipe_reader.h"

namespace zt::test {
namespace {
const char* const kMarkerEvent = "capture-marker";
}

OutputCapture::OutputCapture() {
  int fds[2];
  if (pipe(fds) != 0) {
    ADD_FAILURE() << "pipe failed";
    return;
  }
  readFd_ = fds[0];
  writeFd_ = fds[1];
  zt::sync(zt::mainQueue(), [&] {
    output_ =
        std::make_unique<ZTOutput>(writeFd_, [](int status) { ADD_FAILURE() << "output exited " << status; });
    output_->setAcceptingAudio(true);
  });
  reader_ = std::thread([this] { readLoop(); });
}

// The output is destroyed on the main queue, where its sources run; closing
// the write end then ends the reader.
OutputCapture::~OutputCapture() {
  zt::sync(zt::mainQueue(), [&] { output_.reset(); });
  if (writeFd_ >= 0) close(writeFd_);
  if (reader_.joinable()) reader_.join();
  if (readFd_ >= 0) close(readFd_);
}

void OutputCapture::readLoop() {
  LineReader reader(readFd_);
  for (;;) {
    std::optional<std::string> line = reader.next(std::chrono::milliseconds(200));
    if (!line) {
      if (reader.atEnd()) break;
      continue;
    }
    std::lock_guard lock(mutex_);
    lines_.push_back(std::move(*line));
    arrived_.notify_all();
  }
  std::lock_guard lock(mutex_);
  readerDone_ = true;
  arrived_.notify_all();
}

std::vector<std::string> OutputCapture::takeLines() {
  // Lines leave the output in order, so once a marker queued after them is
  // read back, every earlier line has been read too.
  const std::string marker = std::to_string(nextMarker_++);
  output_->event(Event{{"event", kMarkerEvent}, {"n", marker}}, false);
  const std::string markerLine = "{\"event\":\"" + std::string(kMarkerEvent) + "\",\"n\":\"" + marker + "\"}";

  std::unique_lock lock(mutex_);
  std::vector<std::string> taken;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  for (;;) {
    for (size_t i = 0; i < lines_.size(); ++i) {
      if (lines_[i] != markerLine) continue;
      taken.assign(lines_.begin(), lines_.begin() + static_cast<ptrdiff_t>(i));
      lines_.erase(lines_.begin(), lines_.begin() + static_cast<ptrdiff_t>(i) + 1);
      const ZTOutput::State state = output_->stateForTesting();
      EXPECT_EQ(state.pendingError, "") << "the output latched a failure";
      EXPECT_FALSE(state.broken);
      return taken;
    }
    if (readerDone_ || arrived_.wait_until(lock, deadline) == std::cv_status::timeout) {
      ADD_FAILURE() << "the output did not deliver its lines";
      return taken;
    }
  }
}

std::vector<AudioEvent> OutputCapture::takeAudio() {
  std::vector<AudioEvent> events;
  for (const std::string& line : takeLines()) {
    const auto object = parseFlatObject(line);
    if (!object || object->size() != 3 || object->count("event") == 0 || object->at("event") != "audio" ||
        object->count("source") == 0 || object->count("audio") == 0) {
      ADD_FAILURE() << "not an audio event: " << line.substr(0, 200);
      continue;
    }
    const auto pcm = base64Decode(object->at("audio"));
    if (!pcm) {
      ADD_FAILURE() << "bad base64 in " << line.substr(0, 200);
      continue;
    }
    events.push_back(AudioEvent{object->at("source"), *pcm});
  }
  return events;
}

std::vector<int16_t> OutputCapture::samples(const std::vector<AudioEvent>& events) {
  std::vector<int16_t> out;
  for (const AudioEvent& event : events) {
    EXPECT_EQ(event.pcm.size() % 2, 0u) << "odd PCM byte count";
    for (size_t i = 0; i + 1 < event.pcm.size(); i += 2)
      out.push_back(static_cast<int16_t>(static_cast<uint16_t>(event.pcm[i] | (event.pcm[i + 1] << 8))));
  }
  return out;
}

}  // namespace zt::test
