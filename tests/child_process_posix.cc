#include "tests/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <string>

namespace qztap::testing {

ChildOutcome runInChild(const std::function<void()>& body, unsigned timeoutSeconds) {
  int outPipe[2];
  int errPipe[2];
  if (::pipe(outPipe) != 0 || ::pipe(errPipe) != 0) std::abort();
  const pid_t child = ::fork();
  if (child < 0) std::abort();
  if (child == 0) {
    ::alarm(timeoutSeconds);
    ::dup2(outPipe[1], STDOUT_FILENO);
    ::dup2(errPipe[1], STDERR_FILENO);
    for (const int end : {outPipe[0], outPipe[1], errPipe[0], errPipe[1]}) ::close(end);
    body();
    ::_exit(BODY_RETURNED);
  }
  ::close(outPipe[1]);
  ::close(errPipe[1]);

  // Both pipes at once: a child blocked on a full one must not wait for the other.
  ChildOutcome outcome;
  pollfd sources[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
  std::string* sinks[2] = {&outcome.out, &outcome.err};
  for (int open = 2; open > 0;) {
    if (::poll(sources, 2, -1) < 0) {
      if (errno == EINTR) continue;
      std::abort();
    }
    for (int i = 0; i < 2; ++i) {
      if (sources[i].revents == 0) continue;
      char chunk[65536];
      const ssize_t got = ::read(sources[i].fd, chunk, sizeof chunk);
      if (got > 0) sinks[i]->append(chunk, static_cast<size_t>(got));
      if (got == 0 || (got < 0 && errno != EINTR)) {
        ::close(sources[i].fd);
        sources[i].fd = -1;  // poll skips it from now on
        --open;
      }
    }
  }

  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) outcome.exitCode = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) outcome.signal = WTERMSIG(status);
  return outcome;
}

void waitUntilBlockedIn(pid_t tid, long call) {
  const std::string path = "/proc/self/task/" + std::to_string(tid) + "/syscall";
  for (char text[32] = {}; text[0] < '0' || text[0] > '9' || std::atol(text) != call;) {
    const int fd = ::open(path.c_str(), O_RDONLY);
    text[std::max<ssize_t>(::read(fd, text, sizeof text - 1), 0)] = '\0';
    ::close(fd);
    sched_yield();
  }
}

}  // namespace qztap::testing
