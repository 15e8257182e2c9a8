// Stand-in for the few CoreFoundation items the macOS backend uses, declared as the
// SDK declares them for 64-bit macOS. Only for checks on machines without the SDK.
#pragma once

#include <stdint.h>

#if defined(__clang__)
#define CF_NULLABLE _Nullable
#define CF_NONNULL _Nonnull
#else
#define CF_NULLABLE
#define CF_NONNULL
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef unsigned char Boolean;
typedef unsigned int UInt32;
typedef signed int SInt32;
typedef double Float64;
typedef SInt32 OSStatus;

typedef const void* CFTypeRef;
typedef const struct __CFAllocator* CFAllocatorRef;

// Releasing NULL crashes.
void CFRelease(CFTypeRef CF_NONNULL cf);

// Runs the current thread's run loop in the default mode until it is stopped.
void CFRunLoopRun(void);

#ifdef __cplusplus
}
#endif
