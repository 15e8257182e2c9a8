#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <span>
#include <thread>

namespace qztap {

// Standard output as a platform writes to it. Both calls end the process when the
// reader has left (by SIGPIPE, or the platform's equal) or the output fails
// (OUTPUT_ERROR).
class OutputSink {
 public:
  // Writes what it can of `bytes` without waiting for the reader and returns how
  // much: 0 while the reader is behind, and always where no write can avoid waiting.
  virtual size_t writeWithoutWaiting(std::span<const std::byte> bytes) = 0;

  // Writes every byte, in order, waiting for the reader as long as it takes.
  virtual void writeAll(std::span<const std::byte> bytes) = 0;

 protected:
  ~OutputSink() = default;
};

// Output bytes per second of audio.
inline constexpr size_t OUTPUT_BYTES_PER_SECOND = 16000 * sizeof(float);

// How far the reader may fall behind before qztap gives up on it: ten minutes.
inline constexpr size_t BACKLOG_CAPACITY = 600 * OUTPUT_BYTES_PER_SECOND;

// Stands between the conversion and standard output so that a reader that falls
// behind never holds up capture, which the sound system would answer by dropping
// audio. While the reader keeps up, samples go straight out on the delivery thread;
// what it cannot take at once is kept, in order, and written out by a thread of the
// backlog's own as the reader catches up. The memory is given back once it has.
class OutputBacklog {
 public:
  // Starts the writer thread.
  OutputBacklog(OutputSink& output, size_t capacityBytes);
  // Waits for what is held to be written out, then ends the writer thread.
  ~OutputBacklog();

  // Delivery thread: hands `samples` on without ever waiting for the reader. Holding
  // more than the capacity ends the process with OUTPUT_ERROR.
  void write(std::span<const float> samples);

  // Writes out everything held, waiting for the reader, and returns once it is out;
  // nothing is written after that. Any thread.
  void finish();

 private:
  struct Block {
    std::unique_ptr<std::byte[]> bytes;
    size_t filled = 0;   // by the delivery thread
    size_t written = 0;  // by the writer thread
  };

  void keep(std::span<const std::byte> bytes);
  void writeOut();

  OutputSink& sink;
  const size_t capacity;
  std::mutex mutex;
  std::condition_variable heldMore;  // the writer's wake-up
  std::condition_variable allOut;    // for finish()
  // The front block is the one being written, the back one the one being filled; the
  // writer reads its slice of the front block unlocked, since only bytes past
  // `filled` change and blocks never move.
  std::deque<Block> blocks;
  size_t held = 0;           // bytes kept and not yet out, the writer's slice included
  size_t blocksWritten = 0;  // since memory was last handed back
  bool finished = false;
  bool closing = false;  // the writer's signal to end
  std::thread writer;    // last: starts once everything it uses is there
};

}  // namespace qztap
