#pragma once

#include <functional>
#include <string>

#ifndef _WIN32
#include <sys/types.h>
#endif

namespace qztap::testing {

// How a child process ended and what it wrote.
struct ChildOutcome {
  int exitCode = -1;  // set when the child exited
  int signal = 0;     // set when a signal ended it (POSIX)
  std::string out;    // everything it wrote to standard output
  std::string err;    // everything it wrote to standard error
};

// The code a child ends with when `body` returns instead of ending the process.
inline constexpr int BODY_RETURNED = 77;

// Runs `body` in a child process with stdout and stderr captured, and waits for it. A
// child still running after `timeoutSeconds` is killed (POSIX: by SIGALRM; Windows:
// with exit code 124).
//
// On POSIX the child is forked. Windows cannot fork: the test executable is started
// again, running only the current test, which runs as far as this call's turn, skips
// the calls before it (each returns an empty outcome there) and runs `body` then. So a
// test must reach each of its calls the same way whatever the earlier outcomes were:
// EXPECT on an outcome, never ASSERT, while calls follow.
ChildOutcome runInChild(const std::function<void()>& body, unsigned timeoutSeconds = 10);

#ifndef _WIN32
// Waits until the thread `tid` of this process sleeps in the system call `call`
// (Linux: read from /proc).
void waitUntilBlockedIn(pid_t tid, long call);
#endif

}  // namespace qztap::testing
