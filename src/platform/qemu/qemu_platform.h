// The platform on Linux: QEMU with OVMF firmware, under KVM where it can run an ordinary guest
// and TCG otherwise. Every check here looks at files only; no QEMU is launched before a machine
// is created, so validating a machine never touches the disk of one that is running.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>

#include "platform/platform.h"
#include "platform/qemu/accelerator.h"
#include "platform/qemu/firmware.h"
#include "platform/qemu/qmp_session.h"

namespace tovan {

// What the backend needs to know about its host, found once.
struct QemuHost {
  Result<QemuInstallation> installation = Error{"QEMU has not been looked for"};
  std::int64_t cpuCount = 1;     // online host CPUs
  std::uint64_t memorySize = 0;  // physical memory, bytes
  // How guests run here; absent: probed (probeAccelerator) when the first machine is created.
  std::optional<AcceleratorChoice> accelerator;
  // How long QEMU gets to start and to answer each command before it is taken to be stuck.
  QmpDeadlines deadlines;

  // Looks at this machine: install paths and sysconf.
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

  // A copy of the preferred firmware's empty variable store, written durably. Never replaces an
  // existing file; a copy that fails half-way leaves nothing behind.
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
  using Platform::attachDiskImage;

  Status validateSaveRestoreSupport(const MachineConfiguration& configuration) const override;
  // Firmware and emulator present, identifier readable, limits kept, an EFI variable store that
  // one of the host's firmware builds can use, devices within what the command line maps.
  Status validate(const MachineConfiguration& configuration) const override;

  // On `queue`'s thread from here on. The first call decides how guests run on this host.
  std::unique_ptr<Machine> createMachine(MachineConfiguration configuration,
                                         SerialQueue& queue) override;

  // Why guests run under TCG here, once the first machine has been created; absent under KVM.
  std::optional<std::string> softwareEmulationReason() override;

 private:
  const AcceleratorChoice& accelerator();

  QemuHost host_;
  std::once_flag decided_;
};

}  // namespace tovan
