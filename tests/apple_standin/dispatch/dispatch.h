// Stand-in for the libdispatch items the macOS backend uses. Under ARC the SDK declares
// dispatch objects as Objective-C objects, and so does this.
#pragma once

#import <Foundation/Foundation.h>
#include <stdint.h>

@protocol OS_dispatch_object <NSObject>
@end
@protocol OS_dispatch_queue <OS_dispatch_object>
@end
@protocol OS_dispatch_queue_attr <OS_dispatch_object>
@end
@protocol OS_dispatch_source <OS_dispatch_object>
@end
typedef NSObject<OS_dispatch_object>* dispatch_object_t;
typedef NSObject<OS_dispatch_queue>* dispatch_queue_t;
typedef NSObject<OS_dispatch_queue_attr>* dispatch_queue_attr_t;
typedef NSObject<OS_dispatch_source>* dispatch_source_t;
typedef void (^dispatch_block_t)(void);
typedef uint64_t dispatch_time_t;
typedef const struct dispatch_source_type_s* dispatch_source_type_t;

#define DISPATCH_QUEUE_SERIAL NULL  // the attribute of a serial queue
#define DISPATCH_TIME_NOW (0ull)
#define NSEC_PER_MSEC 1000000ull
typedef enum : unsigned long {
  DISPATCH_AUTORELEASE_FREQUENCY_INHERIT = 0,
} dispatch_autorelease_frequency_t;

extern "C" {
__attribute__((warn_unused_result)) dispatch_queue_attr_t
dispatch_queue_attr_make_with_autorelease_frequency(dispatch_queue_attr_t _Nullable attr,
                                                    dispatch_autorelease_frequency_t frequency);
__attribute__((ns_returns_retained)) __attribute__((warn_unused_result)) dispatch_queue_t
dispatch_queue_create(const char* _Nullable label, dispatch_queue_attr_t _Nullable attr);
void dispatch_async(dispatch_queue_t _Nonnull queue, dispatch_block_t _Nonnull block);

extern const struct dispatch_source_type_s _dispatch_source_type_timer;
#define DISPATCH_SOURCE_TYPE_TIMER (&_dispatch_source_type_timer)
__attribute__((ns_returns_retained)) __attribute__((warn_unused_result)) dispatch_source_t
dispatch_source_create(dispatch_source_type_t _Nonnull type, uintptr_t handle, uintptr_t mask,
                       dispatch_queue_t _Nullable queue);
void dispatch_source_set_event_handler(dispatch_source_t _Nonnull source,
                                       dispatch_block_t _Nullable handler);
void dispatch_source_set_timer(dispatch_source_t _Nonnull source, dispatch_time_t start,
                               uint64_t interval, uint64_t leeway);
__attribute__((warn_unused_result)) dispatch_time_t dispatch_time(dispatch_time_t when,
                                                                  int64_t delta);
void dispatch_resume(dispatch_object_t _Nonnull object);
}
