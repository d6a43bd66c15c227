#include "host/host.h"

#include <errno.h>
#include <fcntl.h>
#include <malloc.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#ifdef __linux__
#include <sys/epoll.h>
#endif

#include <vector>

#include "base/dispatch.h"
#include "capture/ZTCapture.h"
#include "host/reader.h"
#include "output/ZTOutput.h"

namespace zt {
namespace {

// True when the descriptor can be watched for readiness. Regular files and
// some devices (/dev/null) cannot: epoll refuses them, and a read source on
// them would never fire. Reads on them never block, so they are read by a
// task that re-posts itself instead.
bool isPollable(int fd) {
#ifdef __linux__
  struct stat st;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) return false;
  const int ep = epoll_create1(EPOLL_CLOEXEC);
  if (ep < 0) return true;
  epoll_event ev{};
  ev.events = EPOLLIN;
  const bool ok = epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev) == 0 || errno != EPERM;
  close(ep);
  return ok;
#else
  (void)fd;
  return true;
#endif
}

// The command reader on descriptor 0. Lives for the whole process.
class InputChannel {
 public:
  explicit InputChannel(ZTCapture* capture)
      : reader_({[capture](const std::string& word) { capture->command(word); },
                 [capture] { capture->fail("PROTOCOL_ERROR"); }, [capture] { capture->stop(); }}) {}

  // Main queue.
  void arm() {
    if (isPollable(0)) {
      source_ = dispatch_source_create(DISPATCH_SOURCE_TYPE_READ, 0, 0, mainQueue());
      setEventHandler(source_, [this] { readFromSource(); });
      dispatch_resume(source_);
    } else {
      async(mainQueue(), [this] { pump(); });
    }
  }

  // A signal closes the reader; commands no longer reach the session.
  void closeForSignal() {
    ZT_ASSERT_MAIN_QUEUE();
    reader_.close();
    cancel();
  }

 private:
  void pump() {
    readOnce();
    if (!reader_.closed()) async(mainQueue(), [this] { pump(); });
  }

  // A read source on a pipe may report the writer's hang-up together with
  // the last data and then never fire again. So after every read that got
  // data, one more read follows as its own main-queue task, until the pipe
  // answers EAGAIN (the source then fires for what comes next) or its end.
  void readFromSource() {
    if (readOnce() && !reader_.closed()) async(mainQueue(), [this] { readFromSource(); });
  }

  // Answers whether the read got data.
  bool readOnce() {
    ZT_ASSERT_MAIN_QUEUE();
    if (reader_.closed()) return false;
    char chunk[kReadChunkBytes];
    const ssize_t n = read(0, chunk, sizeof chunk);
    if (n == 0) {
      cancel();
      reader_.finish();
      return false;
    }
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return false;
      cancel();
      reader_.fail();
      return false;
    }
    reader_.feed(chunk, static_cast<size_t>(n));
    if (reader_.closed()) cancel();
    return true;
  }

  void cancel() {
    if (source_ && !cancelled_) dispatch_source_cancel(source_);
    cancelled_ = true;
  }

  CommandReader reader_;
  dispatch_source_t source_ = nullptr;
  bool cancelled_ = false;
};

std::vector<dispatch_source_t>* signalSources = nullptr;

void armSignal(int signo, InputChannel* input, ZTCapture* capture) {
  dispatch_source_t source =
      dispatch_source_create(DISPATCH_SOURCE_TYPE_SIGNAL, static_cast<uintptr_t>(signo), 0, mainQueue());
  signalSources->push_back(source);
  setEventHandler(source, [input, capture] {
    input->closeForSignal();
    capture->stop();
  });
  dispatch_resume(source);
}

bool makeStdinNonBlocking() {
  const int flags = fcntl(0, F_GETFL);
  if (flags == -1) return false;
  return fcntl(0, F_SETFL, flags | O_NONBLOCK) != -1;
}

}  // namespace

void runHelper(int argc, char** argv) {
  (void)argv;
  signal(SIGPIPE, SIG_IGN);
  signal(SIGINT, SIG_IGN);
  signal(SIGTERM, SIG_IGN);
  // A few threads allocate a few kilobytes a second between them; a single
  // malloc arena keeps each of them from holding a heap of its own, which
  // cost the recording a few hundred kilobytes of resident memory.
  mallopt(M_ARENA_MAX, 1);
  // Descriptor 0 is judged before anything can open a descriptor: when the
  // host closed it, the first descriptor the output or libdispatch opens
  // would take its number and be read as if it were the host's input.
  const bool inputUsable = argc == 1 && makeStdinNonBlocking();

  // Both live until the process ends.
  auto* output = new ZTOutput();
  auto* capture = new ZTCapture(output);
  output->onError = [capture](const std::string& code) { capture->fail(code); };

  if (!inputUsable) {
    // Nothing reads standard input; the stop that the failure starts ends
    // the process. The session is reached on the main queue, as always.
    async(mainQueue(), [capture] { capture->fail("PROTOCOL_ERROR"); });
  } else {
    auto* input = new InputChannel(capture);
    input->arm();
    if (!signalSources) signalSources = new std::vector<dispatch_source_t>();
    armSignal(SIGINT, input, capture);
    armSignal(SIGTERM, input, capture);
  }
  dispatch_main();
}

}  // namespace zt
