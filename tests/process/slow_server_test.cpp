// The real backend against a sound server that takes connections and never
// says a word: its questions give up after their bounds, and a "stop"
// meanwhile is served at once.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <thread>

#include "support/helper_run.h"

namespace zt::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

TEST(SlowServer, SilentSoundServer) {
  char dir[] = "/tmp/zt-silent-XXXXXX";
  const std::string path = std::string(mkdtemp(dir)) + "/native";
  const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  path.copy(address.sun_path, sizeof(address.sun_path) - 1);
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  ASSERT_EQ(listen(fd, 16), 0);
  for (const bool stop : {true, false}) {
    SCOPED_TRACE(stop ? "stopped" : "left to fail");
    ChildOptions options;
    options.env["PULSE_SERVER"] = "unix:" + path;
    Child child(ZT_HELPER_PATH, options);
    const auto begin = Clock::now();
    child.send("prepare");
    if (stop) {
      std::this_thread::sleep_for(300ms);
      child.send("stop");
    }
    const RunResult r = collect(child, 20s);
    // Two questions of two seconds each: the microphone, then the output.
    EXPECT_EQ(r.control, (stop ? Events{kEnded} : Events{errorEvent("SYSTEM_AUDIO_UNAVAILABLE"), kEnded}));
    EXPECT_LT(Clock::now() - begin, stop ? 1500ms : 8s);
    EXPECT_EQ(r.status, stop ? 0 : 1);
    EXPECT_EQ(r.stderrText, "");
  }
  close(fd);
  unlink(path.c_str());
  rmdir(dir);
}

}  // namespace
}  // namespace zt::test
