// The main thread drains the main dispatch queue, as in the helper; the
// tests run on a thread of their own and reach it with zt::sync.
#include <dispatch/dispatch.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <thread>

#include "base/process_exit.h"

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  signal(SIGPIPE, SIG_IGN);
  std::thread([] {
    const int status = RUN_ALL_TESTS();
    fflush(nullptr);
    zt::terminateProcess(status);
  }).detach();
  dispatch_main();
}
