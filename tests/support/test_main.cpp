// Test entry: the main thread drains the main dispatch queue, as in the
// helper, while the tests run on a thread of their own and reach the main
// queue with `zt::sync(zt::mainQueue(), ...)`.
#include <dispatch/dispatch.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>

#include <thread>

#include "base/process_exit.h"

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  signal(SIGPIPE, SIG_IGN);
  std::thread runner([] {
    const int status = RUN_ALL_TESTS();
    fflush(stdout);
    fflush(stderr);
    zt::terminateProcess(status);
  });
  runner.detach();
  dispatch_main();
}
