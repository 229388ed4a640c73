// Where the host keeps QEMU and the OVMF firmware, and whether it can run guests under KVM.
//
// The backend reads no environment variables: it looks at the well-known install paths of the
// common Linux distributions, Debian's first, then /usr/local.
#pragma once

#include <cstdint>
#include <string>

#include "base/result.h"

namespace tovan {

struct QemuInstallation {
  std::string emulator;              // qemu-system-x86_64
  std::string firmwareCode;          // OVMF code, mapped read-only
  std::string firmwareVarsTemplate;  // the empty EFI variable store copied for each machine
  std::uint64_t firmwareVarsSize = 0;
};

enum class Accelerator { kvm, tcg };

// Looks for the emulator and for an OVMF code and variable-store pair of one flash size under
// `root` ("" for the host's own file system; tests pass a directory that mimics one). Fails with
// a description that lists where it looked.
Result<QemuInstallation> findQemuInstallation(const std::string& root = "");

// KVM when the device exists and this process may open it read-write, TCG otherwise.
Accelerator chooseAccelerator(const std::string& kvmDevice = "/dev/kvm");

}  // namespace tovan
