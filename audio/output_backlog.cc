#include "audio/output_backlog.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

#include "status/status_log.h"

#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace qztap {
namespace {

// About a second of output: a stalled reader costs one allocation a second.
constexpr size_t BLOCK_BYTES = 65536;

// Blocks written out since memory was last handed back: a catch-up from a backlog of
// this many or more ends by handing free memory back to the system.
constexpr size_t BLOCKS_WORTH_RELEASING = 16;

// The allocator keeps freed memory for reuse, and blocks freed below memory the
// sound library still uses cannot simply be cut off the end of the heap.
void releaseFreeMemory() {
#ifdef __GLIBC__
  ::malloc_trim(0);
#endif
}

}  // namespace

OutputBacklog::OutputBacklog(OutputSink& output, size_t capacityBytes)
    : sink(output), capacity(capacityBytes), writer([this] { writeOut(); }) {}

OutputBacklog::~OutputBacklog() {
  {
    std::lock_guard hold(mutex);
    closing = true;
  }
  heldMore.notify_one();
  writer.join();
}

void OutputBacklog::write(std::span<const float> samples) {
  std::span<const std::byte> bytes = std::as_bytes(samples);
  std::unique_lock hold(mutex);
  if (finished) return;
  // Straight out while nothing waits before these bytes: the common case costs the
  // one write it always did and no wake-up.
  if (held == 0) bytes = bytes.subspan(sink.writeWithoutWaiting(bytes));
  if (bytes.empty()) return;
  if (bytes.size() > capacity - held) {
    exitFatally(ExitStatus::OutputError, "the reader fell more than " +
                                             std::to_string(capacity / OUTPUT_BYTES_PER_SECOND) +
                                             " s behind");
  }
  const bool writerAsleep = held == 0;
  keep(bytes);
  hold.unlock();
  if (writerAsleep) heldMore.notify_one();
}

void OutputBacklog::keep(std::span<const std::byte> bytes) {
  while (!bytes.empty()) {
    if (blocks.empty() || blocks.back().filled == BLOCK_BYTES) {
      // Left uninitialised, as make_unique_for_overwrite would, which libc++ has only from 16 on.
      blocks.push_back(Block{std::unique_ptr<std::byte[]>(new std::byte[BLOCK_BYTES])});
    }
    Block& block = blocks.back();
    const size_t taken = std::min(bytes.size(), BLOCK_BYTES - block.filled);
    std::memcpy(block.bytes.get() + block.filled, bytes.data(), taken);
    block.filled += taken;
    held += taken;
    bytes = bytes.subspan(taken);
  }
}

void OutputBacklog::writeOut() {
  std::unique_lock hold(mutex);
  for (;;) {
    heldMore.wait(hold, [this] { return held > 0 || closing; });
    if (held == 0) return;
    Block& block = blocks.front();
    const std::span<const std::byte> slice(block.bytes.get() + block.written,
                                           block.filled - block.written);
    hold.unlock();
    sink.writeAll(slice);
    hold.lock();
    block.written += slice.size();
    held -= slice.size();
    // A block is done once written to its end; when nothing is held the last one goes
    // too, so that a reader that has caught up leaves no memory behind.
    if (block.written == BLOCK_BYTES || held == 0) {
      blocks.pop_front();
      ++blocksWritten;
    }
    if (held == 0 && blocksWritten >= BLOCKS_WORTH_RELEASING) {
      blocksWritten = 0;
      hold.unlock();
      releaseFreeMemory();
      hold.lock();
    }
    if (held == 0) allOut.notify_all();
  }
}

void OutputBacklog::finish() {
  std::unique_lock hold(mutex);
  finished = true;
  allOut.wait(hold, [this] { return held == 0; });
}

}  // namespace qztap
