#include "status/status_log.h"

#include <gtest/gtest.h>

#include <string>

#ifdef __linux__
#include <fcntl.h>
#include <sched.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#endif

#include "tests/child_process.h"

namespace qztap {
namespace {

TEST(StatusLog, LinesAndFatalExitsWriteExactlyTheirBytesAndCode) {
  struct Case {
    ExitStatus status;
    const char* description;
    const char* line;
  };
  const Case cases[] = {
      {ExitStatus::MainLoopReturned, "ignored", ""},
      {ExitStatus::PermissionOrContentError, "denied", "PERMISSION_OR_CONTENT_ERROR: denied\n"},
      {ExitStatus::NoDisplay, "ignored", "NO_DISPLAY\n"},
      {ExitStatus::StartError, "", "START_ERROR: \n"},
      {ExitStatus::StreamStopped, "gone", "STREAM_STOPPED: gone\n"},
      {ExitStatus::OutputError, "No space left on device",
       "OUTPUT_ERROR: No space left on device\n"},
      {ExitStatus::ReaderGone, "ignored", ""},
  };
  for (const Case& c : cases) {
    const testing::ChildOutcome outcome = testing::runInChild([&] {
      elog("");
      elog("Überwachung: Zugriff\nverweigert");
      exitFatally(c.status, c.description);
    });
    EXPECT_EQ(outcome.exitCode, static_cast<int>(c.status));
    EXPECT_EQ(outcome.err, std::string("\nÜberwachung: Zugriff\nverweigert\n") + c.line);
    EXPECT_EQ(outcome.out, "");
  }
}

#ifdef __linux__
// Linux only: it pins threads to a CPU, schedules them in real time and reads /proc.
// A thread already waiting to log when a fatal exit begins never gets to: the fatal
// line is the last. A full stderr pipe holds the fatal write until the other thread
// waits on the log. Both run on one CPU with the waiting thread in real time, so it
// would run and write the moment the log were let go, before the process could end.
// (Real time needs root, as in CI; elsewhere the fatal thread's idle priority only
// makes that likely.)
TEST(StatusLog, NoLineFollowsTheFatalOne) {
  int err[2];
  int ready[2];
  ASSERT_EQ(::pipe2(err, O_NONBLOCK), 0);
  ASSERT_EQ(::pipe(ready), 0);
  std::string expected;
  while (::write(err[1], std::string(4096, 'x').data(), 4096) == 4096) expected.append(4096, 'x');
  ::fcntl(err[1], F_SETFL, 0);
  ::fcntl(err[0], F_SETFL, 0);
  const pid_t child = ::fork();
  if (child == 0) {
    ::alarm(10);
    ::dup2(err[1], STDERR_FILENO);
    cpu_set_t oneCpu;
    CPU_ZERO(&oneCpu);
    CPU_SET(sched_getcpu(), &oneCpu);
    sched_setaffinity(0, sizeof oneCpu, &oneCpu);
    std::atomic<pid_t> fatal = 0;
    std::atomic<pid_t> late = 0;
    std::thread([&] {
      fatal = ::gettid();
      exitFatally(ExitStatus::StreamStopped, "gone");
    }).detach();
    while (fatal == 0) sched_yield();
    testing::waitUntilBlockedIn(fatal, SYS_write);
    const sched_param idle{};
    sched_setscheduler(fatal, SCHED_IDLE, &idle);
    std::thread([&] {
      late = ::gettid();
      elog("late");
    }).detach();
    while (late == 0) sched_yield();
    testing::waitUntilBlockedIn(late, SYS_futex);
    const sched_param realTime{.sched_priority = 1};
    sched_setscheduler(late, SCHED_FIFO, &realTime);
    ::close(ready[1]);  // lets the parent drain the pipe
    for (;;) ::pause();
  }
  ::close(err[1]);
  ::close(ready[1]);
  char none;
  ASSERT_EQ(::read(ready[0], &none, 1), 0);
  std::string bytes;
  char chunk[4096];
  for (ssize_t got; (got = ::read(err[0], chunk, sizeof chunk)) > 0;) bytes.append(chunk, got);
  int status = 0;
  ::waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 5) << status;
  EXPECT_EQ(bytes, expected + "STREAM_STOPPED: gone\n");
  ::close(err[0]);
  ::close(ready[0]);
}
#endif

}  // namespace
}  // namespace qztap
