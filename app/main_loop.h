#pragma once

namespace qztap {

// Runs the main thread's loop for the life of the process. Ends the process by
// SIGPIPE once the reader of `out` has gone, even when nothing is being written.
[[noreturn]] void runMainLoop(int out);

}  // namespace qztap
