// Stand-in for the Foundation items the macOS backend uses, declared as the SDK declares
// them for arm64 macOS. Objective-C++ only; for the compile check.
#pragma once

#include <CoreFoundation/CoreFoundation.h>

typedef bool BOOL;  // arm64: BOOL is bool
#define nil nullptr
typedef long NSInteger;
typedef unsigned long NSUInteger;
#define API_AVAILABLE(platform_version) __attribute__((availability(STANDIN_##platform_version)))
#define STANDIN_macos(version) macos, introduced = version
#define NS_UNAVAILABLE __attribute__((unavailable))

#pragma clang assume_nonnull begin

@protocol NSObject
@end

__attribute__((objc_root_class))
@interface NSObject<NSObject>
+ (instancetype)alloc;
- (instancetype)init;
@end

@interface NSArray<__covariant ObjectType> : NSObject
- (NSUInteger)countByEnumeratingWithState:(void*)state
                                  objects:(id __unsafe_unretained _Nullable[_Nonnull])buffer
                                    count:(NSUInteger)len;
+ (instancetype)arrayWithObjects:(const ObjectType _Nonnull[_Nullable])objects
                           count:(NSUInteger)cnt;
@end

@interface NSString : NSObject
@property(nullable, readonly) const char* UTF8String;
@end

@interface NSError : NSObject
@property(readonly, copy) NSString* localizedDescription;
@end

#pragma clang assume_nonnull end
