#include "audio/pcm_writer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <numeric>
#include <thread>

#include "tests/child_process.h"

namespace qztap {
namespace {

using testing::BODY_RETURNED;
using testing::ChildOutcome;
using testing::runInChild;

std::string bytesOf(std::initializer_list<float> samples) {
  std::FILE* file = std::tmpfile();
  const int fd = ::fileno(file);
  writeSamples(fd, std::vector<float>(samples));
  std::string bytes(static_cast<size_t>(::lseek(fd, 0, SEEK_END)), '\0');
  EXPECT_EQ(::pread(fd, bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
  std::fclose(file);
  return bytes;
}

TEST(PcmWriter, WritesLittleEndianFloatsBackToBackWithNoHeader) {
  EXPECT_EQ(bytesOf({1.0f, -0.5f}), std::string("\x00\x00\x80\x3f\x00\x00\x00\xbf", 8));
  EXPECT_EQ(bytesOf({}), "");
  // An empty block makes no write at all: even a bad descriptor goes unnoticed.
  writeSamples(-1, {});
}

// Writes `blocks` blocks of a running count to a pipe whose reader is slow and reads
// odd amounts; returns what the reader got.
std::vector<float> throughSlowPipe(bool nonBlocking, int blocks) {
  int ends[2];
  EXPECT_EQ(::pipe(ends), 0);
  if (nonBlocking) ::fcntl(ends[1], F_SETFL, ::fcntl(ends[1], F_GETFL) | O_NONBLOCK);
  std::thread writer([&] {
    std::vector<float> block(1367);
    for (int b = 0; b < blocks; ++b) {
      std::iota(block.begin(), block.end(), static_cast<float>(b * block.size()));
      writeSamples(ends[1], block);
    }
    ::close(ends[1]);
  });
  std::string bytes;
  char chunk[7919];
  for (int reads = 0;; ++reads) {
    if (reads % 50 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    const ssize_t got = ::read(ends[0], chunk, 1 + reads % sizeof chunk);
    if (got <= 0) break;
    bytes.append(chunk, static_cast<size_t>(got));
  }
  writer.join();
  ::close(ends[0]);
  std::vector<float> samples(bytes.size() / sizeof(float));
  std::memcpy(samples.data(), bytes.data(), samples.size() * sizeof(float));
  EXPECT_EQ(bytes.size() % sizeof(float), 0u);
  return samples;
}

TEST(PcmWriter, ASlowReaderGetsEveryByteInOrder) {
  for (bool nonBlocking : {false, true}) {
    SCOPED_TRACE(nonBlocking ? "non-blocking" : "blocking");
    const std::vector<float> samples = throughSlowPipe(nonBlocking, 200);
    ASSERT_EQ(samples.size(), 200u * 1367u);
    for (size_t i = 0; i < samples.size(); ++i) ASSERT_EQ(samples[i], static_cast<float>(i));
  }
}

TEST(PcmWriter, AReaderThatLeftEndsTheProcessBySigpipe) {
  enum class Parent { Default, Ignored, Blocked };
  for (Parent parent : {Parent::Default, Parent::Ignored, Parent::Blocked}) {
    SCOPED_TRACE(static_cast<int>(parent));
    const ChildOutcome outcome = runInChild([parent] {
      if (parent == Parent::Ignored) ::signal(SIGPIPE, SIG_IGN);
      if (parent == Parent::Blocked) {
        sigset_t pipeOnly;
        sigemptyset(&pipeOnly);
        sigaddset(&pipeOnly, SIGPIPE);
        ::sigprocmask(SIG_BLOCK, &pipeOnly, nullptr);
      }
      int ends[2];
      if (::pipe(ends) != 0) return;
      ::close(ends[0]);
      writeSamples(ends[1], std::vector<float>(342, 0.25f));
    });
    EXPECT_EQ(outcome.signal, SIGPIPE);
    EXPECT_EQ(outcome.err, "");
  }
}

TEST(PcmWriter, WriteErrorsThatCannotSucceedEndWithOutputError) {
  const ChildOutcome full = runInChild([] {
    const int fd = ::open("/dev/full", O_WRONLY);
    writeSamples(fd, std::vector<float>(342, 0.25f));
  });
  EXPECT_EQ(full.exitCode, 6);
  EXPECT_EQ(full.err, "OUTPUT_ERROR: " + std::string(std::strerror(ENOSPC)) + "\n");

  const ChildOutcome closed = runInChild([] {
    ::close(STDOUT_FILENO);
    writeSamples(STDOUT_FILENO, std::vector<float>(3, 1.0f));
  });
  EXPECT_EQ(closed.exitCode, 6);
  EXPECT_EQ(closed.err, "OUTPUT_ERROR: " + std::string(std::strerror(EBADF)) + "\n");
}

TEST(PcmWriter, NoticesTheReaderLeavingWithoutWriting) {
  const ChildOutcome outcome = runInChild([] {
    int ends[2];
    if (::pipe(ends) != 0) return;
    std::thread([reader = ends[0]] {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      ::close(reader);
    }).detach();
    waitForReaderToLeave(ends[1]);
    endByBrokenPipe();
  });
  EXPECT_EQ(outcome.signal, SIGPIPE);
}

}  // namespace
}  // namespace qztap
