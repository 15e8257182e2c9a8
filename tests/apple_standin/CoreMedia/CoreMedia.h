// Stand-in for the CoreMedia and CoreAudioTypes items the macOS backend uses, with the
// SDK's signatures and LP64 layouts. Compiles as C++ (the unit tests, which define the
// functions) and as Objective-C++ (the compile check).
#pragma once

#include <CoreFoundation/CoreFoundation.h>
#include <stddef.h>

extern "C" {

typedef struct AudioBuffer {
  UInt32 mNumberChannels;
  UInt32 mDataByteSize;
  void* mData;  // may be NULL
} AudioBuffer;

typedef struct AudioBufferList {
  UInt32 mNumberBuffers;
  AudioBuffer mBuffers[1];  // really mNumberBuffers entries
} AudioBufferList;

// The SDK's struct goes on with the format's fields, which the backend never reads.
typedef struct AudioStreamBasicDescription {
  Float64 mSampleRate;
} AudioStreamBasicDescription;

typedef struct {
  int64_t value;
  int32_t timescale;
  uint32_t flags;
  int64_t epoch;
} CMTime;
CMTime CMTimeMake(int64_t value, int32_t timescale);

typedef struct opaqueCMSampleBuffer* CMSampleBufferRef;
typedef const struct opaqueCMFormatDescription* CMFormatDescriptionRef;
typedef CMFormatDescriptionRef CMAudioFormatDescriptionRef;
typedef struct OpaqueCMBlockBuffer* CMBlockBufferRef;

enum : uint32_t { kCMSampleBufferFlag_AudioBufferList_Assure16ByteAlignment = 1 };
enum : OSStatus { kCMSampleBufferError_ArrayTooSmall = -12737 };

Boolean CMSampleBufferIsValid(CMSampleBufferRef sbuf);
// "Get": the caller does not own the result, which may be NULL.
CMFormatDescriptionRef CMSampleBufferGetFormatDescription(CMSampleBufferRef sbuf);
// Points into `desc`; NULL for a format that is not audio.
const AudioStreamBasicDescription* CMAudioFormatDescriptionGetStreamBasicDescription(
    CMAudioFormatDescriptionRef desc);
// The block buffer handed out through `blockBufferOut` is retained for the caller.
OSStatus CMSampleBufferGetAudioBufferListWithRetainedBlockBuffer(
    CMSampleBufferRef sbuf, size_t* bufferListSizeNeededOut, AudioBufferList* bufferListOut,
    size_t bufferListSize, CFAllocatorRef blockBufferStructureAllocator,
    CFAllocatorRef blockBufferBlockAllocator, uint32_t flags, CMBlockBufferRef* blockBufferOut);

}  // extern "C"
