// Stand-in for the CoreFoundation items the macOS backend uses, declared as the SDK
// declares them for 64-bit macOS. Only for checks on machines without the SDK.
#pragma once

#include <stdint.h>

extern "C" {

typedef unsigned char Boolean;
typedef unsigned int UInt32;
typedef double Float64;
typedef int32_t OSStatus;
typedef const void* CFTypeRef;
typedef const struct __CFAllocator* CFAllocatorRef;
typedef const struct __CFDictionary* CFDictionaryRef;
extern const CFAllocatorRef kCFAllocatorDefault;  // NULL: the default allocator

void CFRelease(CFTypeRef cf);  // releasing NULL crashes
void CFRunLoopRun(void);

}  // extern "C"
