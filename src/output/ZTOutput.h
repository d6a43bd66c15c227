// The only writer of standard output: a bounded queue of whole event lines,
// written with non-blocking writes from the main queue, with the latch that
// carries the first background failure to the session and every exit of the
// process.
#pragma once

#include <dispatch/dispatch.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "output/event.h"

namespace zt {

class ZTOutput {
 public:
  static constexpr uint64_t kMaxLineBytes = 65536;
  static constexpr uint64_t kMaxQueuedBytes = 524288;
  static constexpr int64_t kExitGraceNanoseconds = 3'000'000'000;

  using ExitFunction = std::function<void(int status)>;

  // Writes to standard output; ends the process with status 1 at once when it
  // cannot be made non-blocking.
  ZTOutput();
  // Writes to `fd` and ends "the process" through `exitFunction`, so that
  // tests can watch an output without ending. `fd` is made non-blocking.
  ZTOutput(int fd, ExitFunction exitFunction);
  ZTOutput(const ZTOutput&) = delete;
  ZTOutput& operator=(const ZTOutput&) = delete;
  ~ZTOutput();

  // Any queue or thread. Never blocks on the host and never calls back.
  void event(const Event& event, bool audio);
  void fail(const std::string& code);

  // Main queue.
  void deliverError();
  void flush();
  void setAcceptingAudio(bool flag);
  void requestExit(int32_t status);

  // The conversion queue (any thread, in fact).
  bool isAcceptingAudio();

  // Main queue only; empty until the process entry installs it.
  std::function<void(const std::string& code)> onError;

  // Snapshot of the bookkeeping, for tests.
  struct State {
    uint64_t lineCount;
    uint64_t queuedBytes;
    uint64_t frontOffset;
    bool acceptingAudio;
    bool broken;
    std::string pendingError;
    bool writeArmed;  // meaningful on the main queue only
  };
  State stateForTesting();

 private:
  void init();
  void signalFlush();
  void endProcess(int status);
  // Runs the write loop with `mutex` held. Answers false when a write was
  // refused for want of room.
  bool writeQueuedLines(bool& lostOutput, bool& emptyAfter);

  std::mutex mutex;
  std::deque<std::vector<char>> lines;
  uint64_t queuedBytes = 0;
  uint64_t frontOffset = 0;
  bool acceptingAudio = false;
  bool writeArmed = false;
  bool broken = false;
  bool exitRequested = false;
  int32_t exitStatus = 0;
  std::string pendingError;
  dispatch_source_t flushSignal = nullptr;
  dispatch_source_t writeSource = nullptr;
  dispatch_source_t exitTimer = nullptr;

  int fd_ = 1;
  ExitFunction exit_;
};

}  // namespace zt
