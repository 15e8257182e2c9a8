#include "audio/pcm_writer.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <cstring>
#include <string>

#include "status/status_log.h"

namespace qztap {
namespace {

static_assert(std::endian::native == std::endian::little,
              "the stream format is little-endian floats written in host order");

// Waits until `out` can take more bytes; used when the descriptor is non-blocking.
void waitUntilWritable(int out) {
  pollfd watch{out, POLLOUT, 0};
  while (::poll(&watch, 1, -1) < 0 && errno == EINTR) {
  }
}

// One write of as much of `bytes` as `out` takes now: 0 when it would have to wait.
size_t writeSome(int out, std::span<const std::byte> bytes) {
  for (;;) {
    const ssize_t written = ::write(out, bytes.data(), bytes.size());
    if (written >= 0) return static_cast<size_t>(written);
    switch (errno) {
      case EINTR:
        continue;
      case EAGAIN:
#if EWOULDBLOCK != EAGAIN
      case EWOULDBLOCK:
#endif
        return 0;
      case EPIPE:
      // A socket's reader that closed with bytes unread (Node's children write to
      // sockets): the reader left, as with EPIPE, which the next write would give.
      case ECONNRESET:
        endByBrokenPipe();
      default:
        exitFatally(ExitStatus::OutputError, std::strerror(errno));
    }
  }
}

// The descriptor writes that must not wait go to: see DescriptorOutput.
int nonBlockingDescriptorFor(int out) {
  const int flags = ::fcntl(out, F_GETFL);
  struct stat kind = {};
  if (flags < 0 || ::fstat(out, &kind) != 0) return -1;  // writes will report it
  if ((flags & O_NONBLOCK) != 0) return out;
  if (S_ISSOCK(kind.st_mode)) return -1;
  if (!S_ISFIFO(kind.st_mode)) return out;
  // Linux opens the pipe itself through /proc; elsewhere this fails and the
  // writer thread does all the writing.
  const std::string path = "/proc/self/fd/" + std::to_string(out);
  return ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
}

}  // namespace

void writeSamples(int out, std::span<const std::byte> bytes) {
  while (!bytes.empty()) {
    const size_t written = writeSome(out, bytes);
    if (written == 0) waitUntilWritable(out);
    bytes = bytes.subspan(written);
  }
}

DescriptorOutput::DescriptorOutput(int outputFd)
    : out(outputFd), nonBlockingOut(nonBlockingDescriptorFor(outputFd)) {}

size_t DescriptorOutput::writeWithoutWaiting(std::span<const std::byte> bytes) {
  return nonBlockingOut < 0 ? 0 : writeSome(nonBlockingOut, bytes);
}

OutputSink& standardOutput() {
  static auto* output = new DescriptorOutput(STDOUT_FILENO);
  return *output;
}

void restoreBrokenPipeSignal() {
  ::signal(SIGPIPE, SIG_DFL);
  sigset_t pipeOnly;
  sigemptyset(&pipeOnly);
  sigaddset(&pipeOnly, SIGPIPE);
  ::pthread_sigmask(SIG_UNBLOCK, &pipeOnly, nullptr);
}

void endByBrokenPipe() {
  // The thread that gets here may have SIGPIPE blocked (inherited masks, library
  // threads), so make sure the signal can be delivered to it.
  restoreBrokenPipeSignal();
  ::raise(SIGPIPE);
  // Only reachable if something re-ignored the signal in between.
  ::_exit(128 + SIGPIPE);
}

void waitForReaderToLeave(int out) {
  // Only a hang-up is asked for (some kernels report nothing not asked for); a pipe
  // whose reader left reports POLLERR regardless, and outputs that cannot report a
  // departed reader (files, /dev/null) never wake the poll.
  pollfd watch{out, POLLHUP, 0};
  for (;;) {
    const int ready = ::poll(&watch, 1, -1);
    if (ready < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if ((watch.revents & POLLNVAL) != 0) break;
    if ((watch.revents & (POLLERR | POLLHUP)) != 0) return;
  }
  // Not pollable (closed, or poll failed): nothing can tell us the reader left.
  for (;;) ::pause();
}

}  // namespace qztap
