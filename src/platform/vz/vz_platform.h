// The platform on macOS: Apple's Virtualization framework, for Apple silicon from macOS 13.
//
// A thin adapter. Each call turns the neutral MachineConfiguration into the framework's own
// objects (vz_configuration.h) and asks the framework; limits, identifiers, MAC addresses and
// every check are the framework's, and every failure is its NSError's localized description.
// Saving and restoring machine state needs macOS 14 on Apple silicon; elsewhere the host says it
// cannot, and those operations fail with a description that says so.
//
// Plain C++ so that the shipped executable's vz_host.cpp needs no Objective-C; the definitions
// are Objective-C++ (vz_platform.mm).
#pragma once

#include "platform/platform.h"

namespace tovan {

class VzPlatform final : public Platform {
 public:
  // macOS 14 or later on Apple silicon.
  bool canSaveAndRestore() const override;

  // VZGenericMachineIdentifier: absent when -initWithDataRepresentation: rejects the bytes.
  std::optional<MachineIdentifier> machineIdentifierFromData(std::string_view bytes) const override;
  MachineIdentifier newMachineIdentifier() override;

  // VZEFIVariableStore -initCreatingVariableStoreAtURL:options:error:, without the option that
  // allows overwriting, so an existing file makes it fail.
  Status createEfiVariableStore(const std::string& path) override;

  // VZVirtualMachineConfiguration's class properties.
  std::int64_t minimumAllowedCpuCount() const override;
  std::int64_t maximumAllowedCpuCount() const override;
  std::uint64_t minimumAllowedMemorySize() const override;
  std::uint64_t maximumAllowedMemorySize() const override;

  // Makes the VZDiskImageStorageDeviceAttachment the machine will get and lets it go: with the
  // modes asked for (-initWithURL:readOnly:cachingMode:synchronizationMode:error:), or with the
  // framework's defaults (-initWithURL:readOnly:error:).
  Result<StorageDevice> attachDiskImage(const std::string& path, DiskAccess access,
                                        DiskCaching caching,
                                        DiskSynchronization synchronization) override;
  Result<StorageDevice> attachDiskImage(const std::string& path, DiskAccess access) override;

  // VZMACAddress -initWithString:.
  std::optional<MacAddress> parseMacAddress(std::string_view text) const override;

  // -validateSaveRestoreSupportWithError: on the framework's configuration; on a host that
  // cannot save and restore, an error that says so.
  Status validateSaveRestoreSupport(const MachineConfiguration& configuration) const override;
  // -validateWithError: on the framework's configuration.
  Status validate(const MachineConfiguration& configuration) const override;

  // A VZVirtualMachine on `queue`'s dispatch queue, made on that queue. Should the framework's
  // configuration no longer build (a disk image gone since validation), the machine fails every
  // operation with that error instead.
  std::unique_ptr<Machine> createMachine(MachineConfiguration configuration,
                                         SerialQueue& queue) override;
};

}  // namespace tovan
