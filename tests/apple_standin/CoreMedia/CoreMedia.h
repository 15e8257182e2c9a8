// Stand-in for the few CoreMedia and CoreAudioTypes items the macOS backend uses,
// declared with the SDK's signatures and LP64 layouts. Compiles as C++ (the unit
// tests, which also define the functions) and as Objective-C++ (the compile check).
#pragma once

#include <CoreFoundation/CoreFoundation.h>
#include <stddef.h>
#include <stdint.h>

#if defined(__clang__)
#define CM_NULLABLE _Nullable
#define CM_NONNULL _Nonnull
#define CM_BRIDGED_TYPE(type) __attribute__((objc_bridge(type)))
#define CM_RETURNS_RETAINED_PARAMETER __attribute__((cf_returns_retained))
#else
#define CM_NULLABLE
#define CM_NONNULL
#define CM_BRIDGED_TYPE(type)
#define CM_RETURNS_RETAINED_PARAMETER
#endif

#ifdef __cplusplus
extern "C" {
#endif

// CoreAudioTypes, which CoreMedia brings in.
typedef struct AudioBuffer {
  UInt32 mNumberChannels;
  UInt32 mDataByteSize;
  void* CM_NULLABLE mData;
} AudioBuffer;

typedef struct AudioBufferList {
  UInt32 mNumberBuffers;
  AudioBuffer mBuffers[1];  // really mNumberBuffers entries
} AudioBufferList;

typedef struct AudioStreamBasicDescription {
  Float64 mSampleRate;
  UInt32 mFormatID;
  UInt32 mFormatFlags;
  UInt32 mBytesPerPacket;
  UInt32 mFramesPerPacket;
  UInt32 mBytesPerFrame;
  UInt32 mChannelsPerFrame;
  UInt32 mBitsPerChannel;
  UInt32 mReserved;
} AudioStreamBasicDescription;

#pragma pack(push, 4)
typedef struct {
  int64_t value;
  int32_t timescale;
  uint32_t flags;
  int64_t epoch;
} CMTime;
#pragma pack(pop)

CMTime CMTimeMake(int64_t value, int32_t timescale);

typedef struct CM_BRIDGED_TYPE(id) opaqueCMSampleBuffer* CMSampleBufferRef;
typedef const struct CM_BRIDGED_TYPE(id) opaqueCMFormatDescription* CMFormatDescriptionRef;
typedef CMFormatDescriptionRef CMAudioFormatDescriptionRef;
typedef struct CM_BRIDGED_TYPE(id) OpaqueCMBlockBuffer* CMBlockBufferRef;

#ifdef __cplusplus
enum : uint32_t {
#else
enum {
#endif
  kCMSampleBufferFlag_AudioBufferList_Assure16ByteAlignment = (1L << 0)
};

Boolean CMSampleBufferIsValid(CMSampleBufferRef CM_NONNULL sbuf);

// "Get": the caller does not own the result.
CMFormatDescriptionRef CM_NULLABLE
CMSampleBufferGetFormatDescription(CMSampleBufferRef CM_NONNULL sbuf);

// Points into `desc`; NULL for a format that is not audio.
const AudioStreamBasicDescription* CM_NULLABLE
CMAudioFormatDescriptionGetStreamBasicDescription(CMAudioFormatDescriptionRef CM_NONNULL desc);

// The block buffer handed out through `blockBufferOut` is retained for the caller.
OSStatus CMSampleBufferGetAudioBufferListWithRetainedBlockBuffer(
    CMSampleBufferRef CM_NONNULL sbuf, size_t* CM_NULLABLE bufferListSizeNeededOut,
    AudioBufferList* CM_NULLABLE bufferListOut, size_t bufferListSize,
    CFAllocatorRef CM_NULLABLE blockBufferStructureAllocator,
    CFAllocatorRef CM_NULLABLE blockBufferBlockAllocator, uint32_t flags,
    CM_RETURNS_RETAINED_PARAMETER CMBlockBufferRef CM_NULLABLE* CM_NULLABLE blockBufferOut);

#ifdef __cplusplus
}
#endif
