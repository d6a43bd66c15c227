// The process entry: builds the output and the session, arms the command
// reader and the signal sources, and hands the main thread to the main
// dispatch queue. Never returns.
#pragma once

namespace zt {

[[noreturn]] void runHelper(int argc, char** argv);

}  // namespace zt
