// The platform on Linux: QEMU with OVMF firmware, under KVM when the host offers it and TCG
// otherwise. Every check here looks at files only; no QEMU is launched before a machine starts,
// so validating a machine never touches the disk of one that is running.
#pragma once

#include <cstdint>

#include "platform/platform.h"
#include "platform/qemu/firmware.h"

namespace tovan {

// What the backend needs to know about its host, found once.
struct QemuHost {
  Result<QemuInstallation> installation = Error{"QEMU has not been looked for"};
  Accelerator accelerator = Accelerator::tcg;
  std::int64_t cpuCount = 1;     // online host CPUs
  std::uint64_t memorySize = 0;  // physical memory, bytes

  // Looks at this machine: install paths, /dev/kvm, sysconf.
  static QemuHost detect();
};

// Limits: 1 to min(host CPUs, 288) virtual CPUs (288 is the most that pc-q35-7.2 accepts);
// 128 MiB (what OVMF and a small kernel need to boot) to three quarters of the host's memory,
// in whole MiB, leaving room for QEMU and the host itself.
class QemuPlatform final : public Platform {
 public:
  explicit QemuPlatform(QemuHost host);

  // Always: QEMU migrates every device this backend creates.
  bool canSaveAndRestore() const override;

  std::optional<MachineIdentifier> machineIdentifierFromData(std::string_view bytes) const override;
  MachineIdentifier newMachineIdentifier() override;

  // A copy of the firmware's empty variable store. Never replaces an existing file; a copy
  // that fails half-way is removed again.
  Status createEfiVariableStore(const std::string& path) override;

  std::int64_t minimumAllowedCpuCount() const override;
  std::int64_t maximumAllowedCpuCount() const override;
  std::uint64_t minimumAllowedMemorySize() const override;
  std::uint64_t maximumAllowedMemorySize() const override;

  // Opens the image as QEMU will (read-write or read-only); the description of a failure is
  // worded as QEMU words it.
  Result<StorageDevice> attachDiskImage(const std::string& path, DiskAccess access,
                                        DiskCaching caching,
                                        DiskSynchronization synchronization) override;
  Result<StorageDevice> attachDiskImage(const std::string& path, DiskAccess access) override;

  std::optional<MacAddress> parseMacAddress(std::string_view text) const override;

  Status validateSaveRestoreSupport(const MachineConfiguration& configuration) const override;
  // Firmware and emulator present, identifier readable, limits kept, EFI variable store of the
  // firmware's size, devices within what the command line maps.
  Status validate(const MachineConfiguration& configuration) const override;

  // On `queue`'s thread from here on.
  std::unique_ptr<Machine> createMachine(MachineConfiguration configuration,
                                         SerialQueue& queue) override;

 private:
  const QemuHost host_;
};

}  // namespace tovan
