#include "platform/vz/vz_platform.h"

#import <Virtualization/Virtualization.h>

#include <utility>

#include "platform/vz/vz_configuration.h"
#include "platform/vz/vz_foundation.h"
#include "platform/vz/vz_machine.h"

namespace tovan {

bool VzPlatform::canSaveAndRestore() const {
  // The framework declares saving and restoring only for Apple silicon, from macOS 14.
#if defined(__arm64__)
  if (@available(macOS 14, *)) return true;
#endif
  return false;
}

std::optional<MachineIdentifier> VzPlatform::machineIdentifierFromData(
    std::string_view bytes) const {
  @autoreleasepool {
    NSData* data = [NSData dataWithBytes:bytes.data() length:bytes.size()];
    if ([[VZGenericMachineIdentifier alloc] initWithDataRepresentation:data] == nil) {
      return std::nullopt;
    }
  }
  return MachineIdentifier{std::string(bytes)};
}

MachineIdentifier VzPlatform::newMachineIdentifier() {
  @autoreleasepool {
    NSData* data = [[VZGenericMachineIdentifier alloc] init].dataRepresentation;
    return MachineIdentifier{std::string(static_cast<const char*>(data.bytes), data.length)};
  }
}

Status VzPlatform::createEfiVariableStore(const std::string& path) {
  @autoreleasepool {
    NSError* error = nil;
    VZEFIVariableStore* store =
        [[VZEFIVariableStore alloc] initCreatingVariableStoreAtURL:fileUrl(path)
                                                           options:0
                                                             error:&error];
    if (store == nil) return errorFrom(error);
  }
  return {};
}

std::int64_t VzPlatform::minimumAllowedCpuCount() const {
  return static_cast<std::int64_t>(VZVirtualMachineConfiguration.minimumAllowedCPUCount);
}

std::int64_t VzPlatform::maximumAllowedCpuCount() const {
  return static_cast<std::int64_t>(VZVirtualMachineConfiguration.maximumAllowedCPUCount);
}

std::uint64_t VzPlatform::minimumAllowedMemorySize() const {
  return VZVirtualMachineConfiguration.minimumAllowedMemorySize;
}

std::uint64_t VzPlatform::maximumAllowedMemorySize() const {
  return VZVirtualMachineConfiguration.maximumAllowedMemorySize;
}

Result<StorageDevice> VzPlatform::attachDiskImage(const std::string& path, DiskAccess access,
                                                  DiskCaching caching,
                                                  DiskSynchronization synchronization) {
  @autoreleasepool {
    Result<VZDiskImageStorageDeviceAttachment*> attachment =
        diskImageAttachment(path, access, caching, synchronization);
    if (!attachment) return attachment.error();
  }
  return StorageDevice{path, access, caching, synchronization};
}

Result<StorageDevice> VzPlatform::attachDiskImage(const std::string& path, DiskAccess access) {
  @autoreleasepool {
    Result<VZDiskImageStorageDeviceAttachment*> attachment = diskImageAttachment(path, access);
    if (!attachment) return attachment.error();
  }
  // The neutral record of the framework's own modes; the machine's attachment is made the same
  // way again (vz_configuration.h).
  return StorageDevice{path, access, DiskCaching::automatic, DiskSynchronization::full};
}

std::optional<MacAddress> VzPlatform::parseMacAddress(std::string_view text) const {
  @autoreleasepool {
    NSString* string = utf8String(text);
    if (string == nil) return std::nullopt;
    VZMACAddress* address = [[VZMACAddress alloc] initWithString:string];
    if (address == nil) return std::nullopt;
    const char* canonical = address.string.UTF8String;
    if (canonical == nullptr) return std::nullopt;
    return parseColonSeparatedMac(canonical);
  }
}

Status VzPlatform::validateSaveRestoreSupport(
    [[maybe_unused]] const MachineConfiguration& machine) const {
#if defined(__arm64__)
  if (@available(macOS 14, *)) {
    @autoreleasepool {
      Result<VZVirtualMachineConfiguration*> configuration =
          makeVirtualMachineConfiguration(machine);
      if (!configuration) return configuration.error();
      NSError* error = nil;
      if (![*configuration validateSaveRestoreSupportWithError:&error]) return errorFrom(error);
    }
    return {};
  }
#endif
  return Error{std::string(kSaveRestoreUnsupported)};
}

Status VzPlatform::validate(const MachineConfiguration& machine) const {
  @autoreleasepool {
    Result<VZVirtualMachineConfiguration*> configuration = makeVirtualMachineConfiguration(machine);
    if (!configuration) return configuration.error();
    NSError* error = nil;
    if (![*configuration validateWithError:&error]) return errorFrom(error);
  }
  return {};
}

std::unique_ptr<Machine> VzPlatform::createMachine(MachineConfiguration machine,
                                                   SerialQueue& queue) {
  @autoreleasepool {
    Result<VZVirtualMachineConfiguration*> configuration = makeVirtualMachineConfiguration(machine);
    if (!configuration) {
      return std::make_unique<VzMachine>(configuration.error(), std::move(machine), queue);
    }
    return std::make_unique<VzMachine>(*configuration, std::move(machine), queue);
  }
}

}  // namespace tovan
