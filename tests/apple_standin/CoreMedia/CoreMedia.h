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

enum : UInt32 { kAudioFormatLinearPCM = 'lpcm' };
enum : UInt32 {
  kAudioFormatFlagIsFloat = 1U << 0,
  kAudioFormatFlagIsPacked = 1U << 3,
  kAudioFormatFlagIsNonInterleaved = 1U << 5,
};

// Declared only: what they hold is never read here.
typedef struct AudioChannelLayout AudioChannelLayout;
typedef struct AudioStreamPacketDescription AudioStreamPacketDescription;

typedef uint32_t CMTimeFlags;
enum : CMTimeFlags {
  kCMTimeFlags_Valid = 1UL << 0,
  kCMTimeFlags_HasBeenRounded = 1UL << 1,
  kCMTimeFlags_PositiveInfinity = 1UL << 2,
  kCMTimeFlags_NegativeInfinity = 1UL << 3,
  kCMTimeFlags_Indefinite = 1UL << 4,
  kCMTimeFlags_ImpliedValueFlagsMask =
      kCMTimeFlags_PositiveInfinity | kCMTimeFlags_NegativeInfinity | kCMTimeFlags_Indefinite,
};
typedef uint32_t CMTimeRoundingMethod;
enum : CMTimeRoundingMethod {
  kCMTimeRoundingMethod_RoundHalfAwayFromZero = 1,
  kCMTimeRoundingMethod_RoundTowardZero = 2,
  kCMTimeRoundingMethod_RoundAwayFromZero = 3,
  kCMTimeRoundingMethod_QuickTime = 4,
  kCMTimeRoundingMethod_RoundTowardPositiveInfinity = 5,
  kCMTimeRoundingMethod_RoundTowardNegativeInfinity = 6,
  kCMTimeRoundingMethod_Default = kCMTimeRoundingMethod_RoundHalfAwayFromZero,
};

typedef int64_t CMTimeValue;
typedef int32_t CMTimeScale;
typedef int64_t CMTimeEpoch;
#pragma pack(push, 4)
typedef struct {
  CMTimeValue value;
  CMTimeScale timescale;
  CMTimeFlags flags;
  CMTimeEpoch epoch;
} CMTime;
#pragma pack(pop)
CMTime CMTimeMake(int64_t value, int32_t timescale);
CMTime CMTimeConvertScale(CMTime time, int32_t newTimescale, CMTimeRoundingMethod method);

typedef long CMItemCount;
typedef struct OpaqueCMClock* CMClockRef;
// The host's clock (mach_absolute_time); not the caller's to release.
CMClockRef CMClockGetHostTimeClock(void);
CMTime CMClockGetTime(CMClockRef clock);

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

CMTime CMSampleBufferGetPresentationTimeStamp(CMSampleBufferRef sbuf);

// What the tests use to make sample buffers of their own. Every object handed out
// through an ...Out parameter is retained for the caller.
typedef OSStatus (*CMSampleBufferMakeDataReadyCallback)(CMSampleBufferRef sbuf,
                                                        void* makeDataReadyRefcon);
OSStatus CMAudioFormatDescriptionCreate(CFAllocatorRef allocator,
                                        const AudioStreamBasicDescription* asbd, size_t layoutSize,
                                        const AudioChannelLayout* layout, size_t magicCookieSize,
                                        const void* magicCookie, CFDictionaryRef extensions,
                                        CMAudioFormatDescriptionRef* formatDescriptionOut);
OSStatus CMAudioSampleBufferCreateWithPacketDescriptions(
    CFAllocatorRef allocator, CMBlockBufferRef dataBuffer, Boolean dataReady,
    CMSampleBufferMakeDataReadyCallback makeDataReadyCallback, void* makeDataReadyRefcon,
    CMFormatDescriptionRef formatDescription, CMItemCount numSamples, CMTime presentationTimeStamp,
    const AudioStreamPacketDescription* packetDescriptions, CMSampleBufferRef* sampleBufferOut);
typedef struct {
  CMTime duration;
  CMTime presentationTimeStamp;
  CMTime decodeTimeStamp;
} CMSampleTimingInfo;
OSStatus CMSampleBufferCreate(CFAllocatorRef allocator, CMBlockBufferRef dataBuffer,
                              Boolean dataReady,
                              CMSampleBufferMakeDataReadyCallback makeDataReadyCallback,
                              void* makeDataReadyRefcon, CMFormatDescriptionRef formatDescription,
                              CMItemCount numSamples, CMItemCount numSampleTimingEntries,
                              const CMSampleTimingInfo* sampleTimingArray,
                              CMItemCount numSampleSizeEntries, const size_t* sampleSizeArray,
                              CMSampleBufferRef* sampleBufferOut);
// Copies the list's data into a new block buffer and makes it the sample buffer's.
OSStatus CMSampleBufferSetDataBufferFromAudioBufferList(
    CMSampleBufferRef sbuf, CFAllocatorRef blockBufferStructureAllocator,
    CFAllocatorRef blockBufferBlockAllocator, uint32_t flags, const AudioBufferList* bufferList);

}  // extern "C"
