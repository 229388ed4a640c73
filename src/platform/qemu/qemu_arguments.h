// The QEMU command line for one machine configuration, and the files QEMU gets with it.
//
// The same configuration always gives the same devices in the same order, so that a state saved
// by one QEMU process loads into the next: QEMU restores only into an identical machine.
//
// QEMU never opens the machine's files by their names: the helper opens each one itself and
// hands the descriptor over (an fd set per file), so that a path reaches QEMU exactly as
// written, whatever colons, commas or "json:" it holds, and a FIFO or a swapped file cannot
// stand in for an image.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "base/files.h"
#include "base/result.h"
#include "platform/platform.h"
#include "platform/qemu/accelerator.h"

namespace tovan {

// A saved state loads only into the same machine type, so the type is pinned, not the alias.
inline constexpr const char* kQemuMachineType = "pc-q35-7.2";

enum class LaunchMode {
  coldStart,  // paused before the firmware runs, until `cont`
  incoming,   // waiting for a saved state through `migrate-incoming`
};

// A file that QEMU gets as a descriptor the helper opened: the i-th of QemuLaunch::files becomes
// the child's descriptor kFirstPassedDescriptor + i, in fd set i + 1 ("/dev/fdset/<i + 1>").
struct PassedFile {
  std::string path;
  DiskAccess access = DiskAccess::readOnly;
  FileKind kind = FileKind::regular;
};

struct QemuLaunch {
  std::vector<std::string> argv;  // program path first
  std::vector<PassedFile> files;
};

// QEMU names the files it was handed "/dev/fdset/<n>"; its messages read better with the paths
// they stand for.
std::string withFilePaths(std::string_view qemuText, const std::vector<PassedFile>& files);

// argv for QEMU booting `configuration` with the firmware code at `firmwareCode`. Standard input
// and output are for the caller to set: the first serial port is QEMU's standard output. Fails
// when the configuration's machine identifier is not one this backend made.
Result<QemuLaunch> buildQemuArguments(const std::string& emulator, const std::string& firmwareCode,
                                      const AcceleratorChoice& accelerator,
                                      const MachineConfiguration& configuration, LaunchMode mode);

}  // namespace tovan
