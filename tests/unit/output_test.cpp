// The output channel's bookkeeping, on a pipe, without ending the test
// process: its "exit" is recorded instead.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "base/dispatch.h"
#include "output/ZTOutput.h"
#include "support/pipe_reader.h"

namespace zt {
namespace {

using namespace std::chrono_literals;

// An event whose serialized form is exactly `bytes` long (at least 32).
Event eventOfSize(size_t bytes) {
  const std::string frame = "{\"event\":\"state\",\"state\":\"\"}";
  return Event{{"event", "state"}, {"state", std::string(bytes - frame.size(), 'x')}};
}

class OutputTest : public ::testing::Test {
 protected:
  void SetUp() override {
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
    readFd = fds[0];
    writeFd = fds[1];
    // A small pipe, so that writes run out of room quickly.
    fcntl(writeFd, F_SETPIPE_SZ, 4096);
    sync(mainQueue(), [this] {
      output = std::make_unique<ZTOutput>(writeFd, [this](int status) { exitStatus.store(status); });
      output->onError = [this](const std::string& code) {
        std::lock_guard lock(mutex);
        delivered.push_back(code);
      };
    });
  }
  void TearDown() override {
    sync(mainQueue(), [this] { output.reset(); });
    if (readFd >= 0) close(readFd);
    close(writeFd);
  }

  // Runs `fn` on the main queue, where no flush can interleave with it.
  template <class F>
  void onMain(F fn) {
    sync(mainQueue(), fn);
  }
  ZTOutput::State state() {
    ZTOutput::State s;
    onMain([&] { s = output->stateForTesting(); });
    return s;
  }
  template <class P>
  bool waitFor(P predicate, std::chrono::milliseconds timeout = 3s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
      if (predicate()) return true;
      std::this_thread::sleep_for(1ms);
    }
    return predicate();
  }
  std::vector<std::string> deliveredCodes() {
    std::lock_guard lock(mutex);
    return delivered;
  }
  std::string readAll() {
    std::string text;
    char chunk[65536];
    fcntl(readFd, F_SETFL, O_NONBLOCK);
    for (;;) {
      const ssize_t n = read(readFd, chunk, sizeof chunk);
      if (n <= 0) break;
      text.append(chunk, static_cast<size_t>(n));
    }
    return text;
  }

  int readFd = -1;
  int writeFd = -1;
  std::unique_ptr<ZTOutput> output;
  std::atomic<int> exitStatus{-1};
  std::mutex mutex;
  std::vector<std::string> delivered;
};

// A line of 65536 bytes with its line feed fits, one more does not; the
// queue takes exactly 512 KiB, and a line past that drops the whole backlog
// when nothing of it is on the wire yet.
TEST_F(OutputTest, LineAndQueueBounds) {
  onMain([&] {
    output->event(eventOfSize(65536), false);
    EXPECT_EQ(output->stateForTesting().lineCount, 0u);
    EXPECT_EQ(output->stateForTesting().pendingError, "INTERNAL_ERROR");
    output->deliverError();
    for (int i = 0; i < 7; ++i) output->event(eventOfSize(65535), false);
    output->event(eventOfSize(65536 - 4), false);
    output->event(Event{}, false);  // the smallest line: 3 bytes
    EXPECT_EQ(output->stateForTesting().queuedBytes, ZTOutput::kMaxQueuedBytes);
    EXPECT_EQ(output->stateForTesting().pendingError, "");
    output->event(Event{}, false);
    const auto s = output->stateForTesting();
    EXPECT_EQ(s.lineCount, 0u);
    EXPECT_EQ(s.queuedBytes, 0u);
    EXPECT_EQ(s.pendingError, "OUTPUT_BACKPRESSURE");
    EXPECT_FALSE(s.acceptingAudio);
  });
}

TEST_F(OutputTest, OverflowKeepsThePartlyWrittenLine) {
  onMain([&] { output->event(eventOfSize(10000), false); });
  // The first flush fills the pipe and waits for room.
  ASSERT_TRUE(waitFor([&] { return state().frontOffset > 0; }));
  const auto before = state();
  EXPECT_TRUE(before.writeArmed);
  onMain([&] {
    output->setAcceptingAudio(true);
    // Queue until the first overflow.
    while (output->stateForTesting().pendingError.empty()) output->event(eventOfSize(65535), false);
    const auto s = output->stateForTesting();
    EXPECT_EQ(s.lineCount, 1u);
    EXPECT_EQ(s.frontOffset, before.frontOffset);
    EXPECT_EQ(s.queuedBytes, 10001 - before.frontOffset);
    EXPECT_EQ(s.pendingError, "OUTPUT_BACKPRESSURE");
    EXPECT_FALSE(s.acceptingAudio);
  });
  // The host reads: the begun line is completed, never torn, and the write
  // source is disarmed once the queue is empty.
  std::string text;
  ASSERT_TRUE(waitFor([&] {
    text += readAll();
    return text.size() >= 10001;
  }));
  EXPECT_EQ(text.size(), 10001u);
  EXPECT_EQ(text.back(), '\n');
  ASSERT_TRUE(waitFor([&] { return !deliveredCodes().empty(); }));
  EXPECT_EQ(deliveredCodes(), (std::vector<std::string>{"OUTPUT_BACKPRESSURE"}));
  ASSERT_TRUE(waitFor([&] { return state().lineCount == 0 && !state().writeArmed; }));
}

TEST_F(OutputTest, FirstLatchedCodeWins) {
  onMain([&] {
    output->fail("AUDIO_BACKPRESSURE");
    for (int i = 0; i < 9; ++i) output->event(eventOfSize(65535), false);
    EXPECT_EQ(output->stateForTesting().pendingError, "AUDIO_BACKPRESSURE");
    output->fail("AUDIO_CONVERSION_FAILED");
  });
  ASSERT_TRUE(waitFor([&] { return !deliveredCodes().empty(); }));
  // A code latched after the delivery is delivered by a later flush.
  output->fail("OUTPUT_BACKPRESSURE");
  ASSERT_TRUE(waitFor([&] { return deliveredCodes().size() == 2; }));
  EXPECT_EQ(deliveredCodes(), (std::vector<std::string>{"AUDIO_BACKPRESSURE", "OUTPUT_BACKPRESSURE"}));
}

TEST_F(OutputTest, AudioIsQueuedOnlyWhileAccepted) {
  const Event audio{{"event", "audio"}, {"source", "system"}, {"audio", "AAA="}};
  onMain([&] {
    output->event(audio, true);
    output->event(Event{{"event", "prepared"}}, false);
    EXPECT_EQ(output->stateForTesting().lineCount, 1u);
    output->setAcceptingAudio(true);
    output->event(audio, true);
    EXPECT_EQ(output->stateForTesting().lineCount, 2u);
    output->fail("AUDIO_BACKPRESSURE");
    output->event(audio, true);
    EXPECT_EQ(output->stateForTesting().lineCount, 2u);
    // Unserializable audio still latches, even while audio is refused.
    output->deliverError();
    output->event(Event{{"event", "audio"}, {"audio", "\xff"}}, true);
    EXPECT_EQ(output->stateForTesting().pendingError, "INTERNAL_ERROR");
  });
  std::string text;
  ASSERT_TRUE(waitFor([&] {
    text += readAll();
    return text.size() >= 2;
  }));
  EXPECT_EQ(text,
            "{\"event\":\"prepared\"}\n"
            "{\"audio\":\"AAA=\",\"event\":\"audio\",\"source\":\"system\"}\n");
}

TEST_F(OutputTest, LostOutputDropsEventsButStillDeliversCodes) {
  close(readFd);
  readFd = -1;
  onMain([&] { output->event(Event{{"event", "prepared"}}, false); });
  ASSERT_TRUE(waitFor([&] { return state().broken; }));
  EXPECT_EQ(deliveredCodes(), (std::vector<std::string>{"OUTPUT_CLOSED"}));
  onMain([&] {
    output->event(Event{{"event", "prepared"}}, false);
    EXPECT_EQ(output->stateForTesting().lineCount, 0u);
  });
  output->fail("AUDIO_BACKPRESSURE");
  ASSERT_TRUE(waitFor([&] { return deliveredCodes().size() == 2; }));
  EXPECT_EQ(deliveredCodes().back(), "AUDIO_BACKPRESSURE");
}

TEST_F(OutputTest, ExitOnceTheQueueIsWritten) {
  onMain([&] {
    output->setAcceptingAudio(true);
    output->event(Event{{"event", "state"}, {"state", "ended"}}, false);
    output->requestExit(0);
    // A control event after the request is still written; audio is not.
    output->event(Event{{"event", "state"}, {"state", "late"}}, false);
    output->event(Event{{"event", "audio"}}, true);
  });
  ASSERT_TRUE(waitFor([&] { return exitStatus.load() != -1; }));
  EXPECT_EQ(exitStatus.load(), 0);
  EXPECT_EQ(readAll(),
            "{\"event\":\"state\",\"state\":\"ended\"}\n{\"event\":\"state\",\"state\":\"late\"}\n");
}

TEST_F(OutputTest, LostOutputAfterExitRequestEndsWithStatusOne) {
  close(readFd);
  readFd = -1;
  onMain([&] {
    output->requestExit(0);
    output->event(Event{{"event", "state"}, {"state", "ended"}}, false);
  });
  ASSERT_TRUE(waitFor([&] { return exitStatus.load() != -1; }));
  EXPECT_EQ(exitStatus.load(), 1);
  EXPECT_EQ(deliveredCodes(), (std::vector<std::string>{"OUTPUT_CLOSED"}));
}

TEST_F(OutputTest, GraceTimerNeverReportsSuccess) {
  // The host never reads: the queue cannot drain.
  onMain([&] {
    output->event(eventOfSize(20000), false);
    output->requestExit(0);
  });
  std::this_thread::sleep_for(2500ms);
  EXPECT_EQ(exitStatus.load(), -1);
  ASSERT_TRUE(waitFor([&] { return exitStatus.load() != -1; }, 3s));
  EXPECT_EQ(exitStatus.load(), 1);
}

// Events from many threads while the main queue writes into a small pipe
// that a reader drains: every line arrives whole, once, and each thread's
// lines in the order it queued them.
TEST_F(OutputTest, EventsFromManyThreadsWhileFlushing) {
  constexpr int kThreads = 8;
  constexpr int kPerThread = 400;
  onMain([&] { output->setAcceptingAudio(true); });
  std::string text;
  std::atomic<bool> writing{true};
  std::thread reader([&] {
    const auto giveUp = std::chrono::steady_clock::now() + 20s;
    char chunk[4096];
    fcntl(readFd, F_SETFL, O_NONBLOCK);
    for (;;) {
      const ssize_t n = read(readFd, chunk, sizeof chunk);
      if (n > 0) {
        text.append(chunk, static_cast<size_t>(n));
      } else if ((!writing.load() && text.size() >= kThreads * kPerThread * 45u) ||
                 std::chrono::steady_clock::now() > giveUp) {
        break;
      } else {
        std::this_thread::sleep_for(100us);
      }
    }
  });
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        char id[32];
        snprintf(id, sizeof id, "%02d-%04d", t, i);
        // Every line is 45 bytes: {"audio":"xxxxxxxxxxxxxx","event":"NN-NNNN"}\n
        output->event(Event{{"event", id}, {"audio", std::string(14, 'x')}}, true);
        if (i % 50 == 0) std::this_thread::sleep_for(1ms);
      }
    });
  for (auto& t : threads) t.join();
  writing.store(false);
  reader.join();
  EXPECT_TRUE(deliveredCodes().empty());
  std::vector<int> next(kThreads, 0);
  size_t lines = 0;
  for (size_t at = 0; at < text.size();) {
    const size_t end = text.find('\n', at);
    ASSERT_NE(end, std::string::npos);
    const std::string line = text.substr(at, end - at);
    ASSERT_EQ(line.size(), 44u) << line;
    const int t = std::stoi(line.substr(35, 2));
    EXPECT_EQ(std::stoi(line.substr(38, 4)), next[t]++) << line;
    ++lines;
    at = end + 1;
  }
  EXPECT_EQ(lines, size_t{kThreads * kPerThread});
}

}  // namespace
}  // namespace zt
