#pragma once

#include <cstddef>
#include <span>

#include "audio/output_backlog.h"

namespace qztap {

// Writes `bytes` to `out`, every byte in order, before returning; nothing for an
// empty span. Partial writes and EINTR are retried and a non-blocking descriptor is
// waited on, so nothing is ever dropped. A reader that has gone (a pipe's, or a
// socket's) ends the process by SIGPIPE; any other write failure ends it with
// OUTPUT_ERROR.
void writeSamples(int out, std::span<const std::byte> bytes);

// A file descriptor as the backlog's output. A pipe is also opened a second time,
// non-blocking, for the writes that must not wait: setting O_NONBLOCK on the
// inherited description would change it for the parent too. Other outputs that can
// make a writer wait (sockets) leave every write to the backlog's writer; files and
// devices are written at once.
class DescriptorOutput final : public OutputSink {
 public:
  explicit DescriptorOutput(int out);

  size_t writeWithoutWaiting(std::span<const std::byte> bytes) override;
  void writeAll(std::span<const std::byte> bytes) override { writeSamples(out, bytes); }

 private:
  int out;             // never closed
  int nonBlockingOut;  // `out`, a non-blocking description of it, or -1 for none
};

// Standard output as this platform writes to it, made on first use and never destroyed.
OutputSink& standardOutput();

// Gives SIGPIPE its default action and unblocks it for the calling thread (and the
// threads it creates afterwards), whatever the parent process left behind.
void restoreBrokenPipeSignal();

// Ends the process by SIGPIPE, as a write to a pipe without a reader does.
[[noreturn]] void endByBrokenPipe();

// Blocks until `out` reports that its reader has gone (a pipe's or socket's far
// end closed) and returns then; blocks forever for outputs that cannot report it.
void waitForReaderToLeave(int out);

}  // namespace qztap
