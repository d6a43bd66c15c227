// A server that stops answering (a stopped process, as a debugger or an
// overloaded machine leaves it): every question of the backend still gets
// its answer, within its bound.
#include <dispatch/dispatch.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/platform.h"
#include "pulse/pulse_server.h"

using namespace zt::platform;
using namespace zt::test::pulse;
using namespace std::chrono_literals;

namespace {

using Clock = std::chrono::steady_clock;

// The process behind the server's socket, as the kernel reports the peer.
pid_t serverPid() {
  const char* address = getenv("PULSE_SERVER");
  if (!address || std::string(address).rfind("unix:", 0) != 0) return -1;
  sockaddr_un peer{};
  peer.sun_family = AF_UNIX;
  std::string(address + 5).copy(peer.sun_path, sizeof(peer.sun_path) - 1);
  const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  ucred credentials{};
  socklen_t size = sizeof(credentials);
  const bool known = connect(fd, reinterpret_cast<sockaddr*>(&peer), sizeof(peer)) == 0 &&
                     getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) == 0;
  close(fd);
  return known ? credentials.pid : -1;
}

// Stops the server for its scope.
class Frozen {
 public:
  explicit Frozen(pid_t pid) : pid_(pid) { kill(pid_, SIGSTOP); }
  ~Frozen() { kill(pid_, SIGCONT); }

 private:
  pid_t pid_;
};

// A completion-style answer and how long it took; nothing after `limit`.
template <class T>
std::optional<T> answerWithin(const std::function<void(std::function<void(T)>)>& ask, Clock::duration* took,
                              Clock::duration limit = 10s) {
  struct Answer {
    dispatch_semaphore_t done = dispatch_semaphore_create(0);
    T value{};
    ~Answer() { dispatch_release(done); }
  };
  auto answer = std::make_shared<Answer>();
  const auto begin = Clock::now();
  ask([answer](T value) {
    answer->value = value;
    dispatch_semaphore_signal(answer->done);
  });
  const auto wait = std::chrono::duration_cast<std::chrono::nanoseconds>(limit).count();
  if (dispatch_semaphore_wait(answer->done, dispatch_time(DISPATCH_TIME_NOW, wait)) != 0) return std::nullopt;
  *took = Clock::now() - begin;
  return answer->value;
}

TEST(PulseBackend, FrozenServerStillAnswersWithinBounds) {
  PulseServer server(standardScript());
  ASSERT_TRUE(server.ready());
  const pid_t pid = serverPid();
  ASSERT_GT(pid, 0);
  Clock::duration took{};
  {
    // Unknown without an answer: the display query then names the server.
    Frozen frozen(pid);
    const auto present = answerWithin<bool>(
        [](auto done) { defaultPlatform().captureDevices().hasDefaultAudioDevice(done); }, &took);
    ASSERT_TRUE(present);
    EXPECT_TRUE(*present);
    EXPECT_GT(took, 1500ms);
    EXPECT_LT(took, 3500ms);
    auto engine = defaultPlatform().makeAudioEngine();
    const auto format = answerWithin<AudioFormat>(
        [&](auto done) { engine->inputFormat(AudioEngine::FormatCompletion(done)); }, &took);
    ASSERT_TRUE(format);
    EXPECT_EQ(format->channelCount, 0u);
    EXPECT_EQ(format->sampleRate, 0);
    EXPECT_LT(took, 3500ms);
  }
  // Stopped between the question and the start.
  auto engine = defaultPlatform().makeAudioEngine();
  const auto format = answerWithin<AudioFormat>(
      [&](auto done) { engine->inputFormat(AudioEngine::FormatCompletion(done)); }, &took);
  ASSERT_TRUE(format);
  ASSERT_GT(format->channelCount, 0u);
  engine->installTap(0, 1024, *format, [](const PCMBuffer&) {});
  Frozen frozen(pid);
  const auto started =
      answerWithin<bool>([&](auto done) { engine->start(AudioEngine::StartCompletion(done)); }, &took);
  ASSERT_TRUE(started);
  EXPECT_FALSE(*started);
  EXPECT_GT(took, 2500ms);
  EXPECT_LT(took, 4500ms);
  engine->stop();
  engine->removeTap(0);
}

}  // namespace
