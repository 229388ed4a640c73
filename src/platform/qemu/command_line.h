// The QEMU command line for one machine configuration.
//
// The same configuration always gives the same devices in the same order, so that a state saved
// by one QEMU process loads into the next: QEMU restores only into an identical machine.
#pragma once

#include <string>
#include <vector>

#include "base/result.h"
#include "platform/platform.h"
#include "platform/qemu/firmware.h"
#include "platform/qemu/qmp.h"

namespace tovan {

enum class LaunchMode {
  coldStart,  // paused before the firmware runs, until `cont`
  incoming,   // waiting for a saved state through `migrate-incoming`
};

// QEMU's option syntax separates properties with commas, so a comma inside a value is doubled.
std::string escapeOptionValue(const std::string& value);

// argv for QEMU, program path first. Standard input and output are for the caller to set:
// the first serial port is QEMU's standard output. Fails when the configuration's machine
// identifier is not one this backend made.
Result<std::vector<std::string>> qemuCommandLine(const QemuInstallation& installation,
                                                 Accelerator accelerator,
                                                 const MachineConfiguration& configuration,
                                                 LaunchMode mode);

}  // namespace tovan
