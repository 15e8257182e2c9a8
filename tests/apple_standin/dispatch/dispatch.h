// Stand-in for the few libdispatch items the macOS backend uses. Under ARC the SDK
// declares dispatch objects as Objective-C objects, and so does this.
#pragma once

#import <Foundation/Foundation.h>

#if !__has_feature(objc_arc)
#error "dispatch objects are declared here as the SDK declares them under ARC"
#endif

@protocol OS_dispatch_object <NSObject>
@end
@protocol OS_dispatch_queue <OS_dispatch_object>
@end
@protocol OS_dispatch_queue_attr <OS_dispatch_object>
@end

typedef NSObject<OS_dispatch_queue>* dispatch_queue_t;
typedef NSObject<OS_dispatch_queue_attr>* dispatch_queue_attr_t;

// The attribute for a serial queue, and the default one.
#define DISPATCH_QUEUE_SERIAL NULL

typedef enum : unsigned long {
  DISPATCH_AUTORELEASE_FREQUENCY_INHERIT = 0,
  DISPATCH_AUTORELEASE_FREQUENCY_WORK_ITEM = 1,
  DISPATCH_AUTORELEASE_FREQUENCY_NEVER = 2,
} dispatch_autorelease_frequency_t;

NS_ASSUME_NONNULL_BEGIN
extern "C" {

__attribute__((warn_unused_result)) dispatch_queue_attr_t
dispatch_queue_attr_make_with_autorelease_frequency(dispatch_queue_attr_t _Nullable attr,
                                                    dispatch_autorelease_frequency_t frequency);

__attribute__((ns_returns_retained)) __attribute__((warn_unused_result)) dispatch_queue_t
dispatch_queue_create(const char* _Nullable label, dispatch_queue_attr_t _Nullable attr);

}
NS_ASSUME_NONNULL_END
