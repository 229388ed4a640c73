// Conversions between the helper's C++ values and Foundation's, for the vz backend.
// Objective-C++ (ARC) only.
#pragma once

#import <Foundation/Foundation.h>

#include <optional>
#include <string>
#include <string_view>

#include "base/result.h"

NS_ASSUME_NONNULL_BEGIN

namespace tovan {

// The file URL of `path`, taken byte for byte as the file system spells it; a relative path is
// resolved against the working directory, as the helper's own file calls resolve it.
inline NSURL* fileUrl(const std::string& path) {
  NSString* text = [[NSFileManager defaultManager] stringWithFileSystemRepresentation:path.c_str()
                                                                               length:path.size()];
  return [NSURL fileURLWithPath:text];
}

// `text` as an NSString; nil when it is not UTF-8.
inline NSString* _Nullable utf8String(std::string_view text) {
  return [[NSString alloc] initWithBytes:text.data()
                                  length:text.size()
                                encoding:NSUTF8StringEncoding];
}

// The framework's failure as the helper reports it: its localized description, in UTF-8.
inline Error errorFrom(NSError* _Nullable error) {
  const char* description = error.localizedDescription.UTF8String;
  return Error{description != nullptr ? description
                                      : "the Virtualization framework failed without a reason"};
}

// A completion handler's outcome: absent when the framework passed no error.
inline std::optional<Error> outcomeOf(NSError* _Nullable error) {
  if (error == nil) return std::nullopt;
  return errorFrom(error);
}

}  // namespace tovan

NS_ASSUME_NONNULL_END
