#include "audio/pcm_writer.h"

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <cstring>

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

}  // namespace

void writeSamples(int out, std::span<const float> samples) {
  const auto* next = reinterpret_cast<const char*>(samples.data());
  size_t left = samples.size_bytes();
  while (left > 0) {
    const ssize_t written = ::write(out, next, left);
    if (written >= 0) {
      next += written;
      left -= static_cast<size_t>(written);
      continue;
    }
    switch (errno) {
      case EINTR:
        break;
      case EAGAIN:
#if EWOULDBLOCK != EAGAIN
      case EWOULDBLOCK:
#endif
        waitUntilWritable(out);
        break;
      case EPIPE:
        endByBrokenPipe();
      default:
        exitFatally(ExitStatus::OutputError, std::strerror(errno));
    }
  }
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
