#include "capture/coremedia_buffer.h"

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <memory>
#include <vector>

namespace qztap {
namespace {

struct FreeListMemory {
  void operator()(AudioBufferList* list) const { std::free(list); }
};
using ListMemory = std::unique_ptr<AudioBufferList, FreeListMemory>;

// The block buffer the fill call may hand out, retained on our behalf: released once,
// and only if one came.
class RetainedBlockBuffer {
 public:
  RetainedBlockBuffer() = default;
  RetainedBlockBuffer(const RetainedBlockBuffer&) = delete;
  RetainedBlockBuffer& operator=(const RetainedBlockBuffer&) = delete;
  ~RetainedBlockBuffer() {
    if (buffer != nullptr) CFRelease(buffer);
  }

  CMBlockBufferRef* address() { return &buffer; }

 private:
  CMBlockBufferRef buffer = nullptr;
};

// How many AudioBuffer entries list memory of `bytes` bytes has room for.
size_t entriesFitting(size_t bytes) {
  constexpr size_t header = offsetof(AudioBufferList, mBuffers);
  return bytes < header ? 0 : (bytes - header) / sizeof(AudioBuffer);
}

}  // namespace

void forwardSampleBuffer(CMSampleBufferRef sampleBuffer, StreamOutputType type,
                         StreamOutput& output) {
  if (type != StreamOutputType::Audio) return;
  if (!CMSampleBufferIsValid(sampleBuffer)) return;
  // Both are "Get" results: they live as long as the sample buffer and are not ours
  // to release.
  const CMFormatDescriptionRef format = CMSampleBufferGetFormatDescription(sampleBuffer);
  if (format == nullptr) return;
  const AudioStreamBasicDescription* description =
      CMAudioFormatDescriptionGetStreamBasicDescription(format);
  if (description == nullptr) return;

  // Only the size left in the variable counts, not the call's status.
  size_t listSize = 0;
  CMSampleBufferGetAudioBufferListWithRetainedBlockBuffer(sampleBuffer, &listSize, nullptr, 0,
                                                          nullptr, nullptr, 0, nullptr);
  // Memory without room for one entry could not hold a list worth reading.
  const size_t capacity = entriesFitting(listSize);
  if (capacity < 1) return;

  const ListMemory list(static_cast<AudioBufferList*>(std::malloc(listSize)));
  if (!list) return;
  // Declared after the list memory so that it is released before the memory is freed.
  RetainedBlockBuffer blockBuffer;
  const OSStatus status = CMSampleBufferGetAudioBufferListWithRetainedBlockBuffer(
      sampleBuffer, nullptr, list.get(), listSize, nullptr, nullptr,
      kCMSampleBufferFlag_AudioBufferList_Assure16ByteAlignment, blockBuffer.address());
  if (status != 0) return;

  // A count beyond the memory the list was given is never read past that memory.
  const size_t count = std::min<size_t>(list->mNumberBuffers, capacity);
  if (count < 1) return;
  const AudioBuffer* buffers = list->mBuffers;
  std::vector<AudioEntry> entries;
  entries.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    entries.push_back(AudioEntry{buffers[i].mData, buffers[i].mDataByteSize});
  }
  // The entries point into the block buffer, which is held until this returns.
  output.didOutputBuffer(StreamOutputType::Audio, description->mSampleRate, entries);
}

}  // namespace qztap
