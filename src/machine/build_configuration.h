// Turns a HelperConfig into a validated machine configuration, creating the per-machine files
// that are missing on the way (identifier file, EFI variable store, empty console log).
#pragma once

#include "base/result.h"
#include "config/helper_config.h"
#include "platform/platform.h"

namespace tovan {

// Runs on the caller's thread. Emits only the two non-fatal log events (console log cannot be
// opened; save/restore check failed). Fails with the failing operation's error, unchanged.
Result<MachineConfiguration> buildConfiguration(const HelperConfig& config, Platform& platform);

}  // namespace tovan
