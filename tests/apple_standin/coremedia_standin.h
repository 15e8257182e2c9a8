#pragma once

#include <CoreMedia/CoreMedia.h>

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace qztap::testing {

// How the stand-in CoreMedia answers for the one sample buffer it knows.
struct CoreMediaScript {
  bool valid = true;
  bool hasFormatDescription = true;
  std::optional<double> sampleRate = 48000.0;  // none: the format is not audio
  size_t listSizeNeeded = 0;                   // what the size query reports
  OSStatus sizeQueryStatus = 0;
  OSStatus fillStatus = 0;
  bool handsOutBlockBuffer = true;  // also when the fill fails
  UInt32 numberBuffers = 0;         // mNumberBuffers of the filled list
  std::vector<AudioBuffer> buffers;  // filled in as far as the list memory holds them
};

// The arguments of one CMSampleBufferGetAudioBufferListWithRetainedBlockBuffer call.
struct BufferListCall {
  CMSampleBufferRef sampleBuffer;
  size_t* sizeNeededOut;
  size_t sizeNeededAtEntry;  // what the size variable held when the call came
  AudioBufferList* list;
  size_t listSize;
  CFAllocatorRef structureAllocator;
  CFAllocatorRef blockAllocator;
  uint32_t flags;
  CMBlockBufferRef* blockBufferOut;
  CMBlockBufferRef blockBufferAtEntry;  // what the block-buffer variable held
};

// What was obtained and given back while recording.
struct Ownership {
  int blockBuffersHandedOut = 0;
  int blockBuffersReleased = 0;
  int listsAllocated = 0;  // successful allocations
  int listsFreed = 0;      // frees of memory allocated while recording
  int nullReleases = 0;
  int otherReleases = 0;  // of anything not handed out as owned
  int otherFrees = 0;
  std::vector<size_t> allocationSizes;  // including a failed one
};

// The one sample buffer the stand-in knows.
CMSampleBufferRef standInSampleBuffer();

// Installs `script`, forgets the previous record and records from now on: every
// CoreMedia call, release and allocation goes into the trace, in order.
void startRecording(CoreMediaScript script, bool failAllocation = false);
void stopRecording();
// Adds a step of the test's own to the trace.
void noteStep(std::string step);

const std::vector<std::string>& trace();
const std::vector<BufferListCall>& bufferListCalls();
const Ownership& ownership();

}  // namespace qztap::testing
