// Stand-in for the libdispatch items the macOS backend uses. Under ARC the SDK declares
// dispatch objects as Objective-C objects, and so does this.
#pragma once

#import <Foundation/Foundation.h>

@protocol OS_dispatch_queue
@end
@protocol OS_dispatch_queue_attr
@end
typedef NSObject<OS_dispatch_queue>* dispatch_queue_t;
typedef NSObject<OS_dispatch_queue_attr>* dispatch_queue_attr_t;

#define DISPATCH_QUEUE_SERIAL NULL  // the attribute of a serial queue
typedef enum : unsigned long {
  DISPATCH_AUTORELEASE_FREQUENCY_INHERIT = 0,
} dispatch_autorelease_frequency_t;

extern "C" {
__attribute__((warn_unused_result)) dispatch_queue_attr_t
dispatch_queue_attr_make_with_autorelease_frequency(dispatch_queue_attr_t _Nullable attr,
                                                    dispatch_autorelease_frequency_t frequency);
__attribute__((ns_returns_retained)) __attribute__((warn_unused_result)) dispatch_queue_t
dispatch_queue_create(const char* _Nullable label, dispatch_queue_attr_t _Nullable attr);
}
