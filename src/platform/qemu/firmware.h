// Where the host keeps QEMU and the OVMF firmware.
//
// The backend reads no environment variables: it looks at the well-known install paths of the
// common Linux distributions, Debian's first, then /usr/local.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/result.h"

namespace tovan {

// One OVMF build: its code and the empty variable store that goes with it. A machine's store is
// a copy of the template, and only works with the code of the same build.
struct FirmwarePair {
  std::string code;          // mapped read-only
  std::string varsTemplate;  // copied for each new machine
  std::uint64_t varsSize = 0;
};

struct QemuInstallation {
  std::string emulator;                // qemu-system-x86_64
  std::vector<FirmwarePair> firmware;  // at least one; the first makes new stores

  // The build whose stores have `storeSize` bytes; absent when none has.
  const FirmwarePair* firmwareForStore(std::uint64_t storeSize) const;
};

// Looks for the emulator and for every OVMF code and variable-store pair of one flash size under
// `root` ("" for the host's own file system; tests pass a directory that mimics one), in order
// of preference. Fails with a description that lists where it looked.
Result<QemuInstallation> findQemuInstallation(const std::string& root = "");

}  // namespace tovan
