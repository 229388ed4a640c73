// The Virtualization framework's objects for a neutral MachineConfiguration. Objective-C++ (ARC)
// only.
#pragma once

#import <Virtualization/Virtualization.h>

#include <string>
#include <string_view>

#include "base/result.h"
#include "platform/platform.h"

namespace tovan {

// What every save or restore reports on a host that cannot: before macOS 14, or on Intel.
inline constexpr std::string_view kSaveRestoreUnsupported =
    "saving and restoring machine state needs macOS 14 or later on Apple silicon";

VZDiskImageCachingMode cachingModeOf(DiskCaching caching);
VZDiskImageSynchronizationMode synchronizationModeOf(DiskSynchronization synchronization);

// A disk image attachment with the modes asked for
// (-initWithURL:readOnly:cachingMode:synchronizationMode:error:).
Result<VZDiskImageStorageDeviceAttachment*> diskImageAttachment(
    const std::string& path, DiskAccess access, DiskCaching caching,
    DiskSynchronization synchronization);
// A disk image attachment with the framework's own modes (-initWithURL:readOnly:error:).
Result<VZDiskImageStorageDeviceAttachment*> diskImageAttachment(const std::string& path,
                                                                DiskAccess access);

// A new VZVirtualMachineConfiguration filled in the builder's order: platform with its machine
// identifier, EFI boot loader on the existing variable store, CPU count, memory size, one virtio
// block device per storage device (a read-only one with automatic caching and full
// synchronization, as the seed is asked for, with the framework's own modes; every other with the
// modes it names), one virtio NAT network device per network device, one virtio
// console per serial port (writing to its log, reading nothing), then the entropy and memory
// balloon devices by count. Not validated. The console file handles borrow the descriptors of
// `machine`, which must stay open as long as the result is in use.
Result<VZVirtualMachineConfiguration*> makeVirtualMachineConfiguration(
    const MachineConfiguration& machine);

}  // namespace tovan
