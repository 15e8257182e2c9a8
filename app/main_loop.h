#pragma once

namespace qztap {

// Readies the process before any other thread starts, as the platform needs.
void prepareProcess();

// Runs the main thread's loop for the life of the process. Ends the process as a
// reader leaving `out` does, even when nothing is being written.
[[noreturn]] void runMainLoop(int out);

}  // namespace qztap
