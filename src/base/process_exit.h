// Ending the process.
#pragma once

namespace zt {

// Ends the process at once with `status`. Other threads (libdispatch's
// workers, an audio client's) may still be running, so nothing runs after
// this point: no static destructors and no exit handlers, which could touch
// objects those threads still use. Standard output is written with plain
// write(2), so nothing is left buffered.
[[noreturn]] void terminateProcess(int status);

}  // namespace zt
