// The `validate` command: builds the configuration and reports "ok" or why not.
#pragma once

#include "config/helper_config.h"

namespace tovan {

// Prints "ok" (status 0) or "validation failed: <description>" on standard error (status 1).
[[noreturn]] void validateAndExit(const HelperConfig& config);

}  // namespace tovan
