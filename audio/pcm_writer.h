#pragma once

#include <span>

namespace qztap {

// Writes `samples` to `out` as raw host-order 32-bit floats, every byte in order,
// before returning; nothing for an empty block. Partial writes and EINTR are
// retried and a non-blocking descriptor is waited on, so nothing is ever dropped.
// A reader that has gone ends the process by SIGPIPE; any other write failure
// ends it with OUTPUT_ERROR. Only the delivery thread calls this.
void writeSamples(int out, std::span<const float> samples);

// Gives SIGPIPE its default action and unblocks it for the calling thread (and the
// threads it creates afterwards), whatever the parent process left behind.
void restoreBrokenPipeSignal();

// Ends the process by SIGPIPE, as a write to a pipe without a reader does.
[[noreturn]] void endByBrokenPipe();

// Blocks until `out` reports that its reader has gone (a pipe's or socket's far
// end closed) and returns then; blocks forever for outputs that cannot report it.
void waitForReaderToLeave(int out);

}  // namespace qztap
