#pragma once

#include <sys/types.h>

#include <functional>
#include <string>

namespace qztap::testing {

// How a forked child ended and what it wrote.
struct ChildOutcome {
  int exitCode = -1;  // set when the child exited
  int signal = 0;     // set when a signal ended it
  std::string out;    // everything it wrote to standard output
  std::string err;    // everything it wrote to standard error
};

// The code a child ends with when `body` returns instead of ending the process.
inline constexpr int BODY_RETURNED = 77;

// Runs `body` in a forked child with stdout and stderr captured, and waits for it.
// A child still running after `timeoutSeconds` is killed by SIGALRM.
ChildOutcome runInChild(const std::function<void()>& body, unsigned timeoutSeconds = 10);

// Waits until the thread `tid` of this process sleeps in the system call `call`.
void waitUntilBlockedIn(pid_t tid, long call);

}  // namespace qztap::testing
