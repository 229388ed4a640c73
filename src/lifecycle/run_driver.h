// The `run` command: boots the one machine on `vmQueue`, restoring it from the save-state file
// when there is one, and streams its life as events.
#pragma once

#include "config/helper_config.h"

namespace tovan {

// Called on the main thread; records savePath and hostShareName, queues the boot, starts the
// stdin reader and parks the main thread for good. The process ends only through exitProcess.
[[noreturn]] void runVM(const HelperConfig& config);

}  // namespace tovan
