#include "audio/pcm_writer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <numeric>
#include <string>
#include <thread>

#include "tests/child_process.h"

namespace qztap {
namespace {

using testing::ChildOutcome;
using testing::runInChild;

std::atomic<bool> signalled = false;
constexpr float QUARTER[] = {0.25f};

// The pipe starts full, so the write (non-blocking: the wait to write) is certain to
// be asleep when a signal without SA_RESTART interrupts it; then the block, four times
// the pipe's size, goes out in pieces as the reader drains. Every byte must arrive.
TEST(PcmWriter, InterruptedAndPartialWritesLoseNothing) {
  std::vector<float> block(65536);
  std::iota(block.begin(), block.end(), 0.0f);
  for (bool nonBlocking : {false, true}) {
    SCOPED_TRACE(nonBlocking ? "non-blocking" : "blocking");
    const ChildOutcome outcome = runInChild([&] {
      struct sigaction handler = {};
      handler.sa_handler = [](int) { signalled = true; };
      ::sigaction(SIGUSR1, &handler, nullptr);
      int ends[2];
      if (::pipe2(ends, O_NONBLOCK) != 0) return;
      size_t filled = 0;
      while (::write(ends[1], std::string(4096, 'x').data(), 4096) == 4096) filled += 4096;
      ::fcntl(ends[1], F_SETFL, nonBlocking ? O_NONBLOCK : 0);
      ::fcntl(ends[0], F_SETFL, 0);
      std::atomic<pid_t> writer = 0;
      std::thread thread([&] {
        writer = ::gettid();
        writeSamples(ends[1], std::as_bytes(std::span(block)));
        ::close(ends[1]);
      });
      while (writer == 0) sched_yield();
      testing::waitUntilBlockedIn(writer, nonBlocking ? SYS_poll : SYS_write);
      ::pthread_kill(thread.native_handle(), SIGUSR1);
      while (!signalled) sched_yield();
      std::string bytes;
      char chunk[65536];
      for (ssize_t got; (got = ::read(ends[0], chunk, sizeof chunk)) > 0;) bytes.append(chunk, got);
      thread.join();
      writeSamples(STDOUT_FILENO, std::as_bytes(std::span(bytes).subspan(filled)));
    });
    EXPECT_EQ(outcome.exitCode, testing::BODY_RETURNED) << outcome.err;
    ASSERT_EQ(outcome.out.size(), block.size() * sizeof(float));
    EXPECT_EQ(std::memcmp(outcome.out.data(), block.data(), outcome.out.size()), 0);
  }
}

TEST(PcmWriter, AReaderThatLeftEndsTheProcessBySigpipe) {
  enum class Parent { Default, Ignored, Blocked };
  for (Parent parent : {Parent::Default, Parent::Ignored, Parent::Blocked}) {
    SCOPED_TRACE(static_cast<int>(parent));
    const ChildOutcome outcome = runInChild([parent] {
      if (parent == Parent::Ignored) ::signal(SIGPIPE, SIG_IGN);
      sigset_t pipeOnly;
      sigemptyset(&pipeOnly);
      sigaddset(&pipeOnly, SIGPIPE);
      if (parent == Parent::Blocked) ::sigprocmask(SIG_BLOCK, &pipeOnly, nullptr);
      int ends[2];
      if (::pipe(ends) != 0) return;
      ::close(ends[0]);
      writeSamples(ends[1], std::as_bytes(std::span(QUARTER)));
    });
    EXPECT_EQ(outcome.signal, SIGPIPE);
    EXPECT_EQ(outcome.err, "");
  }
}

// A socket's reader (Node's children write to sockets) that leaves with bytes unread
// while a write waits for room fails that write with ECONNRESET, not EPIPE.
TEST(PcmWriter, ASocketsReaderThatLeftWithBytesUnreadEndsTheProcessBySigpipe) {
  const ChildOutcome outcome = runInChild([] {
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, ends) != 0) return;
    ::fcntl(ends[1], F_SETFL, O_NONBLOCK);
    while (::write(ends[1], std::string(4096, 'x').data(), 4096) > 0) {
    }
    ::fcntl(ends[1], F_SETFL, 0);
    const pid_t writer = ::gettid();
    std::thread([&] {
      testing::waitUntilBlockedIn(writer, SYS_write);
      ::close(ends[0]);
    }).detach();
    writeSamples(ends[1], std::as_bytes(std::span(QUARTER)));
  });
  EXPECT_EQ(outcome.signal, SIGPIPE);
  EXPECT_EQ(outcome.err, "");
}

TEST(PcmWriter, WriteErrorsThatCannotSucceedEndWithOutputError) {
  const std::pair<int, const char*> cases[] = {{ENOSPC, "/dev/full"}, {EBADF, nullptr}};
  for (const auto& [error, path] : cases) {
    // A copy to capture: clang before 16 cannot capture a structured binding.
    const ChildOutcome outcome = runInChild([path = path] {
      if (path == nullptr) ::close(STDOUT_FILENO);
      writeSamples(path != nullptr ? ::open(path, O_WRONLY) : STDOUT_FILENO,
                   std::as_bytes(std::span(QUARTER)));
    });
    EXPECT_EQ(outcome.exitCode, 6);
    EXPECT_EQ(outcome.err, "OUTPUT_ERROR: " + std::string(std::strerror(error)) + "\n");
  }
}

// Waiting for the reader returns once it has left, and not before.
TEST(PcmWriter, WaitsUntilTheReaderHasLeft) {
  const ChildOutcome outcome = runInChild([] {
    int ends[2];
    if (::pipe(ends) != 0) return;
    const pid_t waiter = ::gettid();
    std::atomic<bool> left = false;
    std::thread([&] {
      testing::waitUntilBlockedIn(waiter, SYS_poll);
      left = true;
      ::close(ends[0]);
    }).detach();
    waitForReaderToLeave(ends[1]);
    if (left) endByBrokenPipe();
  });
  EXPECT_EQ(outcome.signal, SIGPIPE);
}

}  // namespace
}  // namespace qztap
