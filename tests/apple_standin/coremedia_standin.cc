// The stand-in CoreMedia's behaviour, scripted by the tests. Allocation is watched by
// wrapping malloc and free at link time (--wrap), which only calls from the test's own
// objects reach: the library's internal allocations pass untouched.

#include "tests/apple_standin/coremedia_standin.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>

struct opaqueCMSampleBuffer {
  int unused;
};
struct opaqueCMFormatDescription {
  int unused;
};
struct OpaqueCMBlockBuffer {
  int unused;
};

namespace qztap::testing {
namespace {

opaqueCMSampleBuffer sampleBufferObject{};
const opaqueCMFormatDescription formatDescriptionObject{};
OpaqueCMBlockBuffer blockBufferObject{};

struct Recorder {
  bool recording = false;
  bool failAllocation = false;
  CoreMediaScript script;
  AudioStreamBasicDescription description{};
  std::vector<std::string> trace;
  std::vector<BufferListCall> calls;
  Ownership ownership;
  std::vector<void*> liveLists;
};

Recorder& recorder() {
  static Recorder instance;
  return instance;
}

void note(std::string step) {
  if (recorder().recording) recorder().trace.push_back(std::move(step));
}

// Writes the scripted list into `bytes` bytes at `list`, never past them.
void fillList(AudioBufferList* list, size_t bytes) {
  const CoreMediaScript& script = recorder().script;
  auto* memory = reinterpret_cast<unsigned char*>(list);
  if (bytes < sizeof(UInt32)) return;
  std::memcpy(memory, &script.numberBuffers, sizeof(UInt32));
  for (size_t i = 0; i < script.buffers.size(); ++i) {
    const size_t at = offsetof(AudioBufferList, mBuffers) + i * sizeof(AudioBuffer);
    if (at + sizeof(AudioBuffer) > bytes) return;
    std::memcpy(memory + at, &script.buffers[i], sizeof(AudioBuffer));
  }
}

}  // namespace

CMSampleBufferRef standInSampleBuffer() { return &sampleBufferObject; }

void startRecording(CoreMediaScript script, bool failAllocation) {
  Recorder& r = recorder();
  r = Recorder{};
  r.script = std::move(script);
  r.failAllocation = failAllocation;
  r.recording = true;
}

void stopRecording() { recorder().recording = false; }

void noteStep(std::string step) { note(std::move(step)); }

const std::vector<std::string>& trace() { return recorder().trace; }
const std::vector<BufferListCall>& bufferListCalls() { return recorder().calls; }
const Ownership& ownership() { return recorder().ownership; }

}  // namespace qztap::testing

using qztap::testing::note;
using qztap::testing::recorder;

extern "C" {

Boolean CMSampleBufferIsValid(CMSampleBufferRef sbuf) {
  note("valid");
  return sbuf == &qztap::testing::sampleBufferObject && recorder().script.valid;
}

CMFormatDescriptionRef CMSampleBufferGetFormatDescription(CMSampleBufferRef sbuf) {
  note("format");
  const bool known = sbuf == &qztap::testing::sampleBufferObject;
  return known && recorder().script.hasFormatDescription
             ? &qztap::testing::formatDescriptionObject
             : nullptr;
}

const AudioStreamBasicDescription* CMAudioFormatDescriptionGetStreamBasicDescription(
    CMAudioFormatDescriptionRef desc) {
  note("description");
  qztap::testing::Recorder& r = recorder();
  if (desc != &qztap::testing::formatDescriptionObject || !r.script.sampleRate) return nullptr;
  r.description.mSampleRate = *r.script.sampleRate;
  return &r.description;
}

OSStatus CMSampleBufferGetAudioBufferListWithRetainedBlockBuffer(
    CMSampleBufferRef sbuf, size_t* bufferListSizeNeededOut, AudioBufferList* bufferListOut,
    size_t bufferListSize, CFAllocatorRef blockBufferStructureAllocator,
    CFAllocatorRef blockBufferBlockAllocator, uint32_t flags, CMBlockBufferRef* blockBufferOut) {
  qztap::testing::Recorder& r = recorder();
  r.calls.push_back({sbuf, bufferListSizeNeededOut,
                     bufferListSizeNeededOut != nullptr ? *bufferListSizeNeededOut : 0,
                     bufferListOut, bufferListSize, blockBufferStructureAllocator,
                     blockBufferBlockAllocator, flags, blockBufferOut,
                     blockBufferOut != nullptr ? *blockBufferOut : nullptr});
  if (bufferListOut == nullptr) {
    note("size query");
    if (bufferListSizeNeededOut != nullptr) *bufferListSizeNeededOut = r.script.listSizeNeeded;
    return r.script.sizeQueryStatus;
  }
  note("fill");
  if (r.script.handsOutBlockBuffer && blockBufferOut != nullptr) {
    *blockBufferOut = &qztap::testing::blockBufferObject;
    ++r.ownership.blockBuffersHandedOut;
  }
  if (r.script.fillStatus != 0) return r.script.fillStatus;
  qztap::testing::fillList(bufferListOut, bufferListSize);
  return 0;
}

void CFRelease(CFTypeRef cf) {
  qztap::testing::Ownership& owned = recorder().ownership;
  if (cf == nullptr) {
    note("release null");
    ++owned.nullReleases;
  } else if (cf == &qztap::testing::blockBufferObject) {
    note("release block buffer");
    ++owned.blockBuffersReleased;
  } else {
    note(cf == &qztap::testing::formatDescriptionObject ? "release format description"
                                                        : "release other");
    ++owned.otherReleases;
  }
}

void* __real_malloc(size_t size);
void __real_free(void* memory);

void* __wrap_malloc(size_t size) {
  qztap::testing::Recorder& r = recorder();
  if (!r.recording) return __real_malloc(size);
  note("allocate " + std::to_string(size));
  r.ownership.allocationSizes.push_back(size);
  if (r.failAllocation) return nullptr;
  void* memory = __real_malloc(size);
  if (memory != nullptr) {
    ++r.ownership.listsAllocated;
    r.liveLists.push_back(memory);
  }
  return memory;
}

void __wrap_free(void* memory) {
  qztap::testing::Recorder& r = recorder();
  if (r.recording) {
    auto live = std::find(r.liveLists.begin(), r.liveLists.end(), memory);
    if (live != r.liveLists.end()) {
      note("free list");
      ++r.ownership.listsFreed;
      r.liveLists.erase(live);
    } else {
      note("free other");
      ++r.ownership.otherFrees;
    }
  }
  __real_free(memory);
}

}  // extern "C"
