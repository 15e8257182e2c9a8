#pragma once

#include <cstddef>
#include <span>

#include "audio/output_backlog.h"

namespace qztap {

#ifdef _WIN32

// A file or pipe handle as the backlog's output, written with WriteFile, which bypasses
// the C runtime's text mode. Every write may wait: an anonymous pipe cannot be written
// without waiting unless its mode is changed, which would change it for the parent too,
// so the backlog's writer does all the writing. A reader that has gone ends the process
// as a broken pipe does; any other write failure ends it with OUTPUT_ERROR.
class HandleOutput final : public OutputSink {
 public:
  explicit HandleOutput(void* handle) : out(handle) {}

  size_t writeWithoutWaiting(std::span<const std::byte>) override { return 0; }
  void writeAll(std::span<const std::byte> bytes) override;

 private:
  void* out;  // a HANDLE, never closed
};

#else

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

// Gives SIGPIPE its default action and unblocks it for the calling thread (and the
// threads it creates afterwards), whatever the parent process left behind.
void restoreBrokenPipeSignal();

// Blocks until `out` reports that its reader has gone (a pipe's or socket's far
// end closed) and returns then; blocks forever for outputs that cannot report it.
void waitForReaderToLeave(int out);

#endif

// Standard output as this platform writes to it, made on first use and never destroyed.
OutputSink& standardOutput();

// Ends the process as a write to a pipe without a reader does: by SIGPIPE, or on
// Windows with exit code 141.
[[noreturn]] void endByBrokenPipe();

}  // namespace qztap
