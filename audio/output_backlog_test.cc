#include "audio/output_backlog.h"

#include <gtest/gtest.h>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#else
#include <unistd.h>
#endif

#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <numeric>
#include <thread>
#include <vector>

#include "audio/pcm_writer.h"
#include "tests/child_process.h"

namespace qztap {
namespace {

using testing::ChildOutcome;
using testing::runInChild;

// A pipe of the C runtime, its writing end written as standard output is on this system.
#ifdef _WIN32
using PipeOutput = HandleOutput;
bool makePipe(int ends[2]) { return ::_pipe(ends, 65536, _O_BINARY | _O_NOINHERIT) == 0; }
PipeOutput outputOn(int fd) { return PipeOutput(reinterpret_cast<void*>(::_get_osfhandle(fd))); }
long readSome(int fd, void* into, size_t size) {
  return ::_read(fd, into, static_cast<unsigned>(size));
}
#else
using PipeOutput = DescriptorOutput;
bool makePipe(int ends[2]) { return ::pipe(ends) == 0; }
PipeOutput outputOn(int fd) { return PipeOutput(fd); }
long readSome(int fd, void* into, size_t size) { return ::read(fd, into, size); }
#endif

// Measured on Linux, where /proc tells the resident set and the allocator is told to
// give memory back; elsewhere, and under the sanitizers, whose allocators keep freed
// memory and whose shadow memory grows, it reads 0, which leaves the memory unchecked.
#if defined(__linux__) && !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
long residentKib() {
  long pages = 0, resident = 0;
  std::FILE* statm = std::fopen("/proc/self/statm", "r");
  if (statm == nullptr || std::fscanf(statm, "%ld %ld", &pages, &resident) != 2) std::abort();
  std::fclose(statm);
  return resident * (::sysconf(_SC_PAGESIZE) / 1024);
}
#else
long residentKib() { return 0; }
#endif

// A pipe's writing end that counts what has gone into the pipe.
class CountingOutput final : public OutputSink {
 public:
  explicit CountingOutput(int fd) : pipe(outputOn(fd)) {}

  size_t writeWithoutWaiting(std::span<const std::byte> bytes) override {
    const size_t written = pipe.writeWithoutWaiting(bytes);
    counted += written;
    return written;
  }

  void writeAll(std::span<const std::byte> bytes) override {
    pipe.writeAll(bytes);
    counted += bytes.size();
  }

  std::atomic<size_t> counted = 0;

 private:
  PipeOutput pipe;
};

// Sixteen megabytes go in, in pieces of every size, the first half while nobody
// reads: no write may wait (the child would be killed). Once finish() returns, every
// byte is out, in order, and the memory that held them is given back, although small
// allocations made meanwhile, as a sound library makes them, sit among the blocks.
TEST(OutputBacklog, KeepsWhatTheReaderCannotTakeYetInOrder) {
  const ChildOutcome outcome = runInChild(
      [] {
        std::vector<float> samples(4 << 20);
        std::iota(samples.begin(), samples.end(), 0.0f);
        std::vector<float> arrived(samples.size(), -1.0f);
        std::vector<std::unique_ptr<char[]>> interleaved;
        interleaved.reserve(samples.size());
        int ends[2];
        if (!makePipe(ends)) return;
        CountingOutput output(ends[1]);
        OutputBacklog backlog(output, 32 << 20);
        const long before = residentKib();
        std::atomic<size_t> read = 0;
        std::thread reader;
        for (size_t at = 0, size = 1; at < samples.size(); at += size, size = size % 997 + 1) {
          backlog.write(std::span(samples).subspan(at, std::min(size, samples.size() - at)));
          interleaved.push_back(std::make_unique<char[]>(16));
          if (at < samples.size() / 2 || reader.joinable()) continue;
          reader = std::thread([&] {
            auto* into = reinterpret_cast<char*>(arrived.data());
            for (long got; read < samples.size() * 4 &&
                           (got = readSome(ends[0], into + read, samples.size() * 4 - read)) > 0;) {
              read += static_cast<size_t>(got);
            }
          });
        }
        backlog.finish();
        if (output.counted != samples.size() * 4) std::fputs("finish() came early\n", stderr);
        const long grown = residentKib() - before;
        reader.join();
        if (arrived != samples) std::fputs("the samples arrived changed or out of order\n", stderr);
        if (grown > 2048) std::fprintf(stderr, "%ld KiB not given back\n", grown);
      },
      30);
  EXPECT_EQ(outcome.exitCode, testing::BODY_RETURNED);
  EXPECT_EQ(outcome.err, "");
}

TEST(OutputBacklog, AReaderTooFarBehindEndsWithOutputError) {
  const ChildOutcome outcome = runInChild([] {
    int ends[2];
    if (!makePipe(ends)) return;
    PipeOutput output = outputOn(ends[1]);
    OutputBacklog backlog(output, OUTPUT_BYTES_PER_SECOND);
    const std::vector<float> second(16000);
    for (int seconds = 0; seconds < 10; ++seconds) backlog.write(second);
  });
  EXPECT_EQ(outcome.exitCode, 6);
  EXPECT_EQ(outcome.err, "OUTPUT_ERROR: the reader fell more than 1 s behind\n");
}

}  // namespace
}  // namespace qztap
