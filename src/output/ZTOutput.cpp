#include "output/ZTOutput.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include "base/dispatch.h"
#include "base/process_exit.h"

namespace zt {

ZTOutput::ZTOutput() : fd_(1) { init(); }

ZTOutput::ZTOutput(int fd, ExitFunction exitFunction) : fd_(fd), exit_(std::move(exitFunction)) { init(); }

void ZTOutput::init() {
  const int flags = fcntl(fd_, F_GETFL);
  if (flags == -1 || fcntl(fd_, F_SETFL, flags | O_NONBLOCK) == -1) {
    endProcess(1);
    return;
  }

  flushSignal = dispatch_source_create(DISPATCH_SOURCE_TYPE_DATA_ADD, 0, 0, mainQueue());
  setEventHandler(flushSignal, [this] { flush(); });
  dispatch_resume(flushSignal);

  writeSource =
      dispatch_source_create(DISPATCH_SOURCE_TYPE_WRITE, static_cast<uintptr_t>(fd_), 0, mainQueue());
  setEventHandler(writeSource, [this] { flush(); });

  exitTimer = dispatch_source_create(DISPATCH_SOURCE_TYPE_TIMER, 0, 0, mainQueue());
  setEventHandler(exitTimer, [this] { endProcess(exitStatus != 0 ? exitStatus : 1); });
  dispatch_resume(exitTimer);
  dispatch_source_set_timer(exitTimer, DISPATCH_TIME_FOREVER, DISPATCH_TIME_FOREVER, 0);
}

// Only test instances are destroyed, on the main queue; the process's own
// output lives until the process ends.
ZTOutput::~ZTOutput() {
  if (!flushSignal) return;
  dispatch_source_cancel(flushSignal);
  dispatch_source_cancel(exitTimer);
  dispatch_source_cancel(writeSource);
  // A suspended source must be resumed before its last release.
  if (!writeArmed) dispatch_resume(writeSource);
  dispatch_release(flushSignal);
  dispatch_release(exitTimer);
  dispatch_release(writeSource);
}

void ZTOutput::endProcess(int status) {
  if (exit_) {
    exit_(status);
    return;
  }
  terminateProcess(status);
}

void ZTOutput::signalFlush() { dispatch_source_merge_data(flushSignal, 1); }

void ZTOutput::event(const Event& event, bool audio) {
  const std::optional<std::string> json = serializeEvent(event);
  if (!json || json->size() + 1 > kMaxLineBytes) {
    fail("INTERNAL_ERROR");
    return;
  }
  const uint64_t lineBytes = json->size() + 1;
  {
    std::lock_guard lock(mutex);
    if (broken) return;
    if (audio && !acceptingAudio) return;
    if (queuedBytes + lineBytes <= kMaxQueuedBytes) {
      std::vector<char> line;
      line.reserve(lineBytes);
      line.assign(json->begin(), json->end());
      line.push_back('\n');
      lines.push_back(std::move(line));
      queuedBytes += lineBytes;
    } else {
      acceptingAudio = false;
      if (pendingError.empty()) pendingError = "OUTPUT_BACKPRESSURE";
      if (frontOffset != 0) {
        // Finish the line already begun on the wire, so the host never sees
        // a torn line.
        lines.erase(lines.begin() + 1, lines.end());
        queuedBytes = lines.front().size() - frontOffset;
      } else {
        lines.clear();
        queuedBytes = 0;
      }
    }
  }
  signalFlush();
}

void ZTOutput::fail(const std::string& code) {
  {
    std::lock_guard lock(mutex);
    if (pendingError.empty()) pendingError = code;
    acceptingAudio = false;
  }
  signalFlush();
}

void ZTOutput::deliverError() {
  ZT_ASSERT_MAIN_QUEUE();
  std::string code;
  {
    std::lock_guard lock(mutex);
    code.swap(pendingError);
  }
  if (!code.empty() && onError) onError(code);
}

bool ZTOutput::writeQueuedLines(bool& lostOutput, bool& emptyAfter) {
  while (!lines.empty() && !broken) {
    const std::vector<char>& front = lines.front();
    const ssize_t n = ::write(fd_, front.data() + frontOffset, front.size() - frontOffset);
    if (n > 0) {
      frontOffset += static_cast<uint64_t>(n);
      queuedBytes -= static_cast<uint64_t>(n);
      if (frontOffset == front.size()) {
        lines.pop_front();
        frontOffset = 0;
      }
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      emptyAfter = false;
      return false;
    } else {
      broken = true;
      acceptingAudio = false;
      lines.clear();
      queuedBytes = 0;
      frontOffset = 0;
      lostOutput = true;
    }
  }
  emptyAfter = lines.empty();
  return true;
}

void ZTOutput::flush() {
  ZT_ASSERT_MAIN_QUEUE();
  deliverError();

  bool lostOutput = false;
  bool emptyAfter = false;
  bool refused = false;
  {
    std::lock_guard lock(mutex);
    refused = !writeQueuedLines(lostOutput, emptyAfter);
  }
  if (refused) {
    if (!writeArmed) {
      writeArmed = true;
      dispatch_resume(writeSource);
    }
  } else {
    if (writeArmed) {
      writeArmed = false;
      dispatch_suspend(writeSource);
    }
    if (lostOutput) {
      exitStatus = 1;
      if (onError) onError("OUTPUT_CLOSED");
    }
  }
  // `broken` is written only here, so reading it unlocked is safe.
  if (exitRequested && (emptyAfter || broken)) endProcess(exitStatus);
}

void ZTOutput::setAcceptingAudio(bool flag) {
  ZT_ASSERT_MAIN_QUEUE();
  std::lock_guard lock(mutex);
  acceptingAudio = flag;
}

bool ZTOutput::isAcceptingAudio() {
  std::lock_guard lock(mutex);
  return acceptingAudio;
}

void ZTOutput::requestExit(int32_t status) {
  ZT_ASSERT_MAIN_QUEUE();
  exitRequested = true;
  exitStatus = status;
  setAcceptingAudio(false);
  dispatch_source_set_timer(exitTimer, dispatch_time(DISPATCH_TIME_NOW, kExitGraceNanoseconds),
                            DISPATCH_TIME_FOREVER, 0);
  signalFlush();
}

ZTOutput::State ZTOutput::stateForTesting() {
  std::lock_guard lock(mutex);
  return State{lines.size(), queuedBytes, frontOffset, acceptingAudio, broken, pendingError, writeArmed};
}

}  // namespace zt
