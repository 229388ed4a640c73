// The few libdispatch declarations the macOS sources use, declared by this project for the Linux
// compile gate (scripts/check-macos.sh) only; a Mac build uses the SDK. Written from Apple's
// public documentation, https://developer.apple.com/documentation/dispatch/, each member naming
// its symbol there.
//
// As on Apple platforms, dispatch objects are Objective-C objects in Objective-C code (retained
// and released by ARC, so dispatch_release is unavailable there) and pointers to opaque structs
// in C++ code.
#pragma once

#include <stddef.h>

#if defined(__OBJC__)
#import <Foundation/NSObject.h>
// dispatch_object_t, dispatch_queue_t, dispatch_queue_attr_t: OS_object subclasses.
@protocol OS_dispatch_object <NSObject>
@end
@protocol OS_dispatch_queue <OS_dispatch_object>
@end
@protocol OS_dispatch_queue_attr <OS_dispatch_object>
@end
typedef NSObject<OS_dispatch_object>* dispatch_object_t;
typedef NSObject<OS_dispatch_queue>* dispatch_queue_t;
typedef NSObject<OS_dispatch_queue_attr>* dispatch_queue_attr_t;
#else
struct dispatch_object_s {};
struct dispatch_queue_s : dispatch_object_s {};
struct dispatch_queue_attr_s : dispatch_object_s {};
typedef dispatch_object_s* dispatch_object_t;
typedef dispatch_queue_s* dispatch_queue_t;
typedef dispatch_queue_attr_s* dispatch_queue_attr_t;
#endif

#if __has_feature(objc_arc)
#define TOVAN_GATE_DISPATCH_NOT_UNDER_ARC __attribute__((unavailable("not available under ARC")))
#else
#define TOVAN_GATE_DISPATCH_NOT_UNDER_ARC
#endif

#pragma clang assume_nonnull begin

extern "C" {

// dispatch_function_t
typedef void (*dispatch_function_t)(void* _Nullable context);

// DISPATCH_QUEUE_SERIAL: no attributes, a serial queue.
#define DISPATCH_QUEUE_SERIAL NULL

// dispatch_queue_create
dispatch_queue_t dispatch_queue_create(const char* _Nullable label,
                                       dispatch_queue_attr_t _Nullable attr);
// dispatch_async_f
void dispatch_async_f(dispatch_queue_t queue, void* _Nullable context, dispatch_function_t work);
// dispatch_sync_f
void dispatch_sync_f(dispatch_queue_t queue, void* _Nullable context, dispatch_function_t work);
// dispatch_queue_set_specific
void dispatch_queue_set_specific(dispatch_queue_t queue, const void* key, void* _Nullable context,
                                 dispatch_function_t _Nullable destructor);
// dispatch_get_specific
void* _Nullable dispatch_get_specific(const void* key);
// dispatch_release: manual reference counting only.
void dispatch_release(dispatch_object_t object) TOVAN_GATE_DISPATCH_NOT_UNDER_ARC;

}  // extern "C"

#pragma clang assume_nonnull end
