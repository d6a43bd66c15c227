// Command lines read from raw bytes; events serialized as compact JSON that
// any JSON reader reads back; the output channel on a small pipe, its "exit"
// recorded, not done; sample admission into it, with buffers handed over on
// the platform's queues.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <atomic>
#include <functional>
#include <mutex>
#include <thread>

#include "base/dispatch.h"
#include "capture/ZTCapture.h"
#include "host/reader.h"
#include "output/ZTOutput.h"
#include "output/event.h"
#include "platform/sim/sim_platform.h"
#include "support/child_process.h"

namespace zt {
namespace {

using namespace std::chrono_literals;
using namespace std::string_literals;
using Words = std::vector<std::string>;

// The reader's calls in order: command words, "<refused>" and "<end>".
Words readCommands(const std::vector<std::string>& chunks, bool finish = true) {
  Words events;
  CommandReader reader{{[&](const std::string& w) { events.push_back(w); },
                        [&] { events.push_back("<refused>"); }, [&] { events.push_back("<end>"); }}};
  for (const auto& chunk : chunks) reader.feed(chunk.data(), chunk.size());
  if (finish) reader.finish();
  return events;
}

TEST(CommandReader, ParsesOnlyOneEntryObjectsWithAllowedWords) {
  EXPECT_EQ(parseCommandLine("{\"command\":\"prepare\"}"), "prepare");
  EXPECT_EQ(parseCommandLine(" {\"command\" : \"resume\"}\r"), "resume");
  // A NUL anywhere refuses the line, also where the JSON before it is whole.
  for (const std::string& bad :
       {""s, "{}"s, "{\"command\":\"stop\",\"x\":1}"s, "{\"cmd\":\"stop\"}"s, "{\"command\":5}"s,
        "{\"command\":\"Stop\"}"s, "[\"stop\"]"s, "{\"command\":\"stop\"}}"s, "{\"command\":\"stop \"}"s,
        "{\"command\":\"stop\"}\0garbage"s, "\0{\"command\":\"stop\"}"s, "{\"command\":\"stop\"}\0"s})
    EXPECT_EQ(parseCommandLine(bad), std::nullopt) << bad;
}

TEST(CommandReader, Lines) {
  const std::string core = "{\"command\":\"start\"}";
  const struct {
    std::vector<std::string> chunks;
    Words expected;
    bool finish = true;
  } cases[] = {
      // Lines split anywhere across reads; nothing after "stop" is read.
      {{"{\"comm", "and\":\"pre", "pare\"}\n{\"command\"", ":\"stop\"}\n{\"command\":\"pause\"}\n"},
       {"prepare", "stop"}},
      {{"{\"command\":\"prepare\"}\n"}, {"prepare", "<end>"}},
      {{"{\"command\":\"prepare\"}"}, {"<refused>"}},
      // A refusal drops the rest of the read, and ends the input.
      {{"\n{\"command\":\"stop\"}\n"}, {"<refused>"}},
      // 4096 bytes and a line feed are a line; a 4097th byte is refused at once.
      {{core + std::string(4096 - core.size(), ' ') + "\n"}, {"start", "<end>"}},
      {{std::string(4096, ' ')}, {}, false},
      {{std::string(4096, ' '), " "}, {"<refused>"}, false},
  };
  for (const auto& c : cases) EXPECT_EQ(readCommands(c.chunks, c.finish), c.expected) << c.chunks[0];
}

// Only valid UTF-8 text is taken, in keys and values alike.
TEST(SerializeEvent, CompactEscapedAndOnlyUtf8) {
  EXPECT_EQ(serializeEvent({}), "{}");
  EXPECT_EQ(serializeEvent({{"event", "state"}, {"state", "ended"}}),
            "{\"event\":\"state\",\"state\":\"ended\"}");
  const std::string tricky = "q\"b\\n\nr\rt\tb\bf\f\x01\x1f end \xc3\xa9 \xf0\x9f\x8e\xb5";
  const auto json = serializeEvent({{"event", "x"}, {"value", tricky}});
  ASSERT_TRUE(json);
  EXPECT_EQ(json->find('\n'), std::string::npos);
  EXPECT_EQ(json->find(' '), json->find(" end"));  // only the spaces inside the value
  EXPECT_EQ(nlohmann::json::parse(*json)["value"], tricky);
  for (const char* bad : {"\xff", "\xc3", "\xc0\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80", "ok\xe2\x82"}) {
    EXPECT_EQ(serializeEvent({{"event", bad}}), std::nullopt) << bad;
    EXPECT_EQ(serializeEvent({{bad, "x"}}), std::nullopt) << bad;
  }
}

// An event whose serialized form is exactly `bytes` long (at least 32).
Event eventOfSize(size_t bytes) { return Event{{"event", "state"}, {"state", std::string(bytes - 28, 'x')}}; }

class OutputTest : public ::testing::Test {
 protected:
  void SetUp() override {
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
    readFd = fds[0];
    writeFd = fds[1];
    fcntl(writeFd, F_SETPIPE_SZ, 4096);  // runs out of room quickly
    fcntl(readFd, F_SETFL, O_NONBLOCK);
    sync(mainQueue(), [this, seen = seen] {
      output = std::make_unique<ZTOutput>(writeFd, [seen](int status) { seen->exitStatus.store(status); });
      output->onError = [seen](const std::string& code) {
        std::lock_guard lock(seen->mutex);
        seen->codes.push_back(code);
      };
    });
  }
  void TearDown() override {
    sync(mainQueue(), [this] { output.reset(); });
    if (readFd >= 0) close(readFd);
    close(writeFd);
  }
  ZTOutput::State state() {
    ZTOutput::State s;
    sync(mainQueue(), [&] { s = output->stateForTesting(); });
    return s;
  }
  std::vector<std::string> codes() {
    std::lock_guard lock(seen->mutex);
    return seen->codes;
  }
  int exitStatus() { return seen->exitStatus.load(); }
  // Reads until `bytes` arrived or `ms` passed.
  std::string readBytes(size_t bytes, int ms = 3000) {
    std::string text;
    char chunk[65536];
    test::waitUntil(
        [&] {
          for (ssize_t n; (n = read(readFd, chunk, sizeof chunk)) > 0;) text.append(chunk, size_t(n));
          return text.size() >= bytes;
        },
        std::chrono::milliseconds(ms), 1ms);
    return text;
  }

  int readFd = -1, writeFd = -1;
  std::unique_ptr<ZTOutput> output;
  // What the output reports; its callbacks may outlive the test.
  struct Seen {
    std::atomic<int> exitStatus{-1};
    std::mutex mutex;
    std::vector<std::string> codes;
  };
  std::shared_ptr<Seen> seen = std::make_shared<Seen>();
};

// A line past the queue's 512 KiB drops the whole unwritten backlog.
TEST_F(OutputTest, LineAndQueueBounds) {
  sync(mainQueue(), [&] {
    output->event(eventOfSize(65536), false);
    EXPECT_EQ(output->stateForTesting().pendingError, "INTERNAL_ERROR");
    output->deliverError();
    for (int i = 0; i < 7; ++i) output->event(eventOfSize(65535), false);
    output->event(eventOfSize(65536 - 4), false);
    output->event(Event{}, false);  // 3 bytes
    EXPECT_EQ(output->stateForTesting().queuedBytes, ZTOutput::kMaxQueuedBytes);
    EXPECT_EQ(output->stateForTesting().pendingError, "");
    output->event(Event{}, false);
    const auto s = output->stateForTesting();
    EXPECT_EQ(s.lineCount + s.queuedBytes, 0u);
    EXPECT_EQ(s.pendingError, "OUTPUT_BACKPRESSURE");
    output->fail("AUDIO_BACKPRESSURE");
  });
  ASSERT_TRUE(test::waitUntil([&] { return codes().size() == 2; }, 3s, 1ms));
  EXPECT_EQ(codes(), (std::vector<std::string>{"INTERNAL_ERROR", "OUTPUT_BACKPRESSURE"}));
}

// An overflow keeps a partly written line: the host never sees a torn one.
TEST_F(OutputTest, OverflowKeepsThePartlyWrittenLine) {
  sync(mainQueue(), [&] { output->event(eventOfSize(10000), false); });
  ASSERT_TRUE(test::waitUntil([&] { return state().frontOffset > 0; }, 3s, 1ms));
  sync(mainQueue(), [&] {
    while (output->stateForTesting().pendingError.empty()) output->event(eventOfSize(65535), false);
    EXPECT_EQ(output->stateForTesting().lineCount, 1u);
  });
  const std::string text = readBytes(10001);
  EXPECT_EQ(text.size(), 10001u);
  EXPECT_EQ(text.back(), '\n');
  ASSERT_TRUE(test::waitUntil([&] { return state().lineCount == 0 && !state().writeArmed; }, 3s, 1ms));
}

// A failure or exit request stops audio; control events still go out.
TEST_F(OutputTest, AudioOnlyWhileAcceptedAndExitOnceWritten) {
  const Event audio{{"event", "audio"}, {"audio", "AAA="}};
  sync(mainQueue(), [&] {
    output->event(audio, true);
    output->setAcceptingAudio(true);
    output->event(audio, true);
    output->fail("AUDIO_BACKPRESSURE");
    output->event(audio, true);
    output->setAcceptingAudio(true);
    output->requestExit(0);
    output->event(Event{{"event", "late"}}, false);
    output->event(audio, true);
  });
  ASSERT_TRUE(test::waitUntil([&] { return exitStatus() != -1; }, 3s, 1ms));
  EXPECT_EQ(exitStatus(), 0);
  EXPECT_EQ(readBytes(50), "{\"audio\":\"AAA=\",\"event\":\"audio\"}\n{\"event\":\"late\"}\n");
}

// A host that closed its end: status 1 even when the exit asked for 0.
TEST_F(OutputTest, LostOutputEndsWithStatusOne) {
  close(std::exchange(readFd, -1));
  sync(mainQueue(), [&] {
    output->requestExit(0);
    output->event(eventOfSize(32), false);
  });
  ASSERT_TRUE(test::waitUntil([&] { return exitStatus() != -1; }, 3s, 1ms));
  EXPECT_EQ(exitStatus(), 1);
  EXPECT_EQ(codes(), (std::vector<std::string>{"OUTPUT_CLOSED"}));
}

// A host that never reads: the grace period ends it, never with success.
TEST_F(OutputTest, GraceTimerNeverReportsSuccess) {
  sync(mainQueue(), [&] {
    output->event(eventOfSize(20000), false);
    output->requestExit(0);
  });
  std::this_thread::sleep_for(2500ms);
  EXPECT_EQ(exitStatus(), -1);
  ASSERT_TRUE(test::waitUntil([&] { return exitStatus() != -1; }, 3s, 1ms));
  EXPECT_EQ(exitStatus(), 1);
}

// Every line whole, once, each thread's in order.
TEST_F(OutputTest, EventsFromManyThreadsWhileFlushing) {
  constexpr int kThreads = 8, kPerThread = 1000;
  sync(mainQueue(), [&] { output->setAcceptingAudio(true); });
  std::string text;
  std::thread reader([&] { text = readBytes(kThreads * kPerThread * 32, 30000); });
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        char id[16];
        snprintf(id, sizeof id, "%02d-%04d", t, i);
        output->event(Event{{"event", "audio"}, {"x", id}}, true);
        // Pauses let the main queue's writes interleave with the calls.
        if (i % 50 == 0) std::this_thread::sleep_for(1ms);
      }
    });
  for (auto& t : threads) t.join();
  reader.join();
  EXPECT_TRUE(codes().empty());
  EXPECT_EQ(text.size(), size_t{kThreads * kPerThread * 32});
  std::vector<int> next(kThreads, 0);
  for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
    int t = 0, i = 0;
    ASSERT_EQ(end - at, 31u) << text.substr(at, end - at);
    ASSERT_EQ(sscanf(text.c_str() + at, "{\"event\":\"audio\",\"x\":\"%2d-%4d\"}", &t, &i), 2);
    EXPECT_EQ(i, next[t]++);
  }
}

using namespace platform;

const AudioFormat kStereo48k{SampleType::Float32, 48000, 2, true};
const AudioFormat kMono48k{SampleType::Float32, 48000, 1, true};

std::shared_ptr<sim::SimSampleBuffer> systemBuffer(uint32_t frames = 4800) {
  return sim::sineSampleBuffer(kStereo48k, frames, 0, 1000, 0.5);
}

// One microphone tap, over memory the engine owns.
struct TapBuffer {
  std::vector<std::vector<std::byte>> data = sim::sineBuffers(kMono48k, 1024, 0, 440, 0.5);
  AudioBufferList list{{{1, uint32_t(data[0].size()), data[0].data()}}};
  PCMBuffer buffer() { return PCMBuffer::wrapping(kMono48k, 1024, list); }
};

// A recording session writing to the output above. Sessions are never torn
// down, as in the helper: kept reachable.
class AdmissionTest : public OutputTest {
 protected:
  void SetUp() override {
    OutputTest::SetUp();
    // The stream hands over what it gathered as it is asked to stop.
    platform_ = new sim::SimPlatform(sim::Scenario{.streams = sim::StreamScript{.framesAtStop = 4800}});
    sync(mainQueue(), [&] { capture_ = new ZTCapture(output.get(), *platform_); });
    command("prepare");
    ASSERT_TRUE(waitForPhase(CapturePhase::Prepared));
    command("start");
    ASSERT_TRUE(waitForPhase(CapturePhase::Recording));
  }
  void TearDown() override {
    static auto* kept = new std::vector<const void*>();
    kept->insert(kept->end(), {platform_, output.release(), capture_});
    writeFd = -1;  // still the kept output's
    OutputTest::TearDown();
  }
  bool waitForPhase(CapturePhase wanted) {
    return test::waitUntil(
        [&] {
          CapturePhase p{};
          sync(mainQueue(), [&] { p = capture_->phaseForTesting(); });
          return p == wanted;
        },
        3s, 1ms);
  }
  void command(const std::string& word) {
    sync(mainQueue(), [&] { capture_->command(word); });
  }
  void deliver(std::shared_ptr<SampleBuffer> buffer, int64_t type = kStreamOutputAudio,
               Stream* stream = nullptr) {
    Stream* target = stream ? stream : capture_->activeStreamForTesting();
    sync(capture_->samplesQueueForTesting(), [&] { capture_->stream(target, buffer, type); });
  }
  void deliverMicrophone(const PCMBuffer& buffer, uint64_t staleBy = 0) {
    capture_->microphone(buffer, capture_->audioGenerationForTesting() - staleBy);
  }
  void suspendWork() { dispatch_suspend(capture_->workQueueForTesting()); }
  void resumeWork() { dispatch_resume(capture_->workQueueForTesting()); }
  // Waits for the conversions, then for the flush that delivers codes.
  void idle() {
    sync(capture_->workQueueForTesting(), [] {});
    for (int i = 0; i < 3; ++i) sync(mainQueue(), [] {});
    std::this_thread::sleep_for(5ms);
    sync(mainQueue(), [] {});
  }
  // How many codes were reported, each of which must be `code`.
  size_t reported(const std::string& code) {
    const auto all = codes();
    for (const auto& c : all) EXPECT_EQ(c, code);
    return all.size();
  }
  int freeSlots() { return capture_->freeSlotsForTesting(); }
  // The write end stays open: everything written by now, and no more.
  std::vector<std::string> lines() { return test::LineReader(readFd).rest(100ms); }

  sim::SimPlatform* platform_ = nullptr;
  ZTCapture* capture_ = nullptr;
  TapBuffer tap_;
};

// Dropped unread: other outputs and streams, unready or stale buffers, and
// anything once a pause closed admission.
TEST_F(AdmissionTest, BuffersThatAreNotOursAreIgnoredSilently) {
  deliver(systemBuffer(), kStreamOutputScreen);
  auto foreign = platform_->screenCapture().makeStream({}, {}, capture_);
  deliver(systemBuffer(), kStreamOutputAudio, foreign.get());
  deliver(std::make_shared<sim::SimSampleBuffer>(kStereo48k.streamDescription(), 4800,
                                                 sim::sineBuffers(kStereo48k, 4800, 0, 1000, 0.5), false));
  deliverMicrophone(tap_.buffer(), 1);
  Stream* stream = capture_->activeStreamForTesting();
  idle();
  for (const auto& line : lines()) EXPECT_EQ(line.find("\"audio\""), std::string::npos) << line;
  command("pause");
  ASSERT_TRUE(waitForPhase(CapturePhase::Paused));
  deliver(systemBuffer(), kStreamOutputAudio, stream);
  deliverMicrophone(tap_.buffer());
  idle();
  // What the stream handed over as it paused went out.
  const auto paused = lines();
  EXPECT_GE(
      std::count_if(paused.begin(), paused.end(), [](auto& l) { return l.find("\"system\"") != l.npos; }), 1);
  EXPECT_EQ(reported(""), 0u);
  EXPECT_EQ(freeSlots(), 4);
}

TEST_F(AdmissionTest, FifthBufferIsBackpressureAndSlotsComeBack) {
  suspendWork();
  for (int i = 0; i < 2; ++i) {
    deliver(systemBuffer(480));
    deliverMicrophone(tap_.buffer());
  }
  EXPECT_EQ(freeSlots(), 0);
  EXPECT_EQ(reported(""), 0u);
  deliverMicrophone(tap_.buffer());
  deliver(systemBuffer(480));
  resumeWork();
  idle();
  // Each refusal latches the code; a flush between them may deliver it twice.
  EXPECT_GE(reported("AUDIO_BACKPRESSURE"), 1u);
  EXPECT_EQ(freeSlots(), 4);
}

// Refused, with the slot back at once.
TEST_F(AdmissionTest, RejectedMicrophoneBufferReturnsItsSlotAtOnce) {
  suspendWork();
  deliverMicrophone(PCMBuffer::wrapping(kMono48k, 0, tap_.list));
  EXPECT_EQ(freeSlots(), 4);
  std::vector<std::byte> big(tap_.data[0].size() + 4);
  AudioBufferList oversized{{{1, uint32_t(big.size()), big.data()}}};
  deliverMicrophone(PCMBuffer::wrapping(kMono48k, 1024, oversized));
  EXPECT_EQ(freeSlots(), 4);
  resumeWork();
  idle();
  EXPECT_GE(reported("AUDIO_CONVERSION_FAILED"), 1u);
}

// Failures on the main queue while audio waits: only the first is written,
// and no audio follows, not even what was admitted before.
TEST_F(AdmissionTest, OnlyTheFirstFailureIsWrittenAndNoAudioFollowsIt) {
  suspendWork();
  deliver(systemBuffer());
  deliverMicrophone(tap_.buffer());
  sync(mainQueue(), [&] {
    capture_->fail("INVALID_STATE");
    capture_->fail("AUDIO_BACKPRESSURE");
  });
  resumeWork();
  ASSERT_TRUE(waitForPhase(CapturePhase::Ended));
  idle();
  std::vector<std::string> afterError = lines();
  afterError.erase(afterError.begin(), std::find_if(afterError.begin(), afterError.end(), [](auto& line) {
                     return line.find("\"event\":\"error\"") != std::string::npos;
                   }));
  EXPECT_EQ(afterError, (std::vector<std::string>{"{\"code\":\"INVALID_STATE\",\"event\":\"error\"}",
                                                  "{\"event\":\"state\",\"state\":\"ended\"}"}));
  EXPECT_EQ(freeSlots(), 4);
}

}  // namespace
}  // namespace zt
