#include "machine/build_configuration.h"

#include <fcntl.h>

#include <algorithm>
#include <memory>

#include "base/files.h"
#include "events/catalogue.h"

namespace tovan {

namespace {

// The largest MiB count whose byte count fits in 64 bits.
constexpr std::uint64_t kMaxMemoryMib = (std::uint64_t{1} << 44) - 1;

Result<MachineIdentifier> loadOrCreateIdentifier(const std::string& path, Platform& platform) {
  Result<std::string> stored = readWholeFile(path);
  if (stored) {
    if (auto identifier = platform.machineIdentifierFromData(*stored)) return *identifier;
  }
  MachineIdentifier fresh = platform.newMachineIdentifier();
  if (Status written = writeFileDurably(path, fresh.dataRepresentation, Replace::allowed);
      !written) {
    return written.error();
  }
  return fresh;
}

// Opens the console log for writing at byte 0, creating it empty when missing. Never truncates:
// the guest overwrites the log from its start and older bytes beyond the new output stay. Only a
// regular file will do, and none is waited for: a FIFO without a reader, a directory or a device
// at the path gives no log at once.
std::shared_ptr<UniqueFd> openConsoleLog(const std::string& path) {
  if (!pathExists(path)) {
    // Whether this worked shows in the open below.
    (void)openFile(path, O_WRONLY | O_CREAT | O_EXCL);
  }
  Result<UniqueFd> log = openFile(path, O_WRONLY);
  if (!log) return nullptr;
  return std::make_shared<UniqueFd>(std::move(*log));
}

}  // namespace

Result<MachineConfiguration> buildConfiguration(const HelperConfig& config, Platform& platform) {
  MachineConfiguration machine;

  Result<MachineIdentifier> identifier =
      loadOrCreateIdentifier(config.machineIdentifierPath, platform);
  if (!identifier) return identifier.error();
  machine.machineIdentifier = std::move(*identifier);

  if (!pathExists(config.efiStorePath)) {
    if (Status created = platform.createEfiVariableStore(config.efiStorePath); !created) {
      return created.error();
    }
  }
  machine.efiVariableStorePath = config.efiStorePath;

  const std::int64_t minimumCpus = platform.minimumAllowedCpuCount();
  const std::int64_t maximumCpus = platform.maximumAllowedCpuCount();
  machine.cpuCount = std::max(std::min(config.cpuCount, maximumCpus), minimumCpus);

  if (config.memoryMib > kMaxMemoryMib) {
    return Error{"memory size of " + std::to_string(config.memoryMib) +
                 " MiB is too large to express in bytes"};
  }
  const std::uint64_t minimumMemory = platform.minimumAllowedMemorySize();
  const std::uint64_t maximumMemory = platform.maximumAllowedMemorySize();
  machine.memorySize = std::max(std::min(config.memoryMib << 20, maximumMemory), minimumMemory);

  // Cached, not automatic: Linux guests on virtio block devices in the framework's automatic mode
  // have lost data (ext4 and btrfs checksum errors, read-only remounts), worst on external drives.
  // Every flush still reaches the disk (full synchronization).
  Result<StorageDevice> disk = platform.attachDiskImage(
      config.diskPath, DiskAccess::readWrite, DiskCaching::cached, DiskSynchronization::full);
  if (!disk) return disk.error();
  Result<StorageDevice> seed = platform.attachDiskImage(config.seedPath, DiskAccess::readOnly);
  if (!seed) return seed.error();
  machine.storageDevices = {std::move(*disk), std::move(*seed)};

  machine.networkDevices = {NetworkDevice{platform.parseMacAddress(config.macAddress)}};

  if (auto log = openConsoleLog(config.consoleLogPath)) {
    machine.serialPorts = {SerialPort{std::move(log), config.consoleLogPath}};
  } else {
    emit(catalogue::consoleLoggingDisabled(config.consoleLogPath));
  }

  machine.entropyDevices = 1;
  machine.memoryBalloonDevices = 1;

  if (platform.canSaveAndRestore()) {
    machine.entropyDevices = 0;
    if (Status supported = platform.validateSaveRestoreSupport(machine); !supported) {
      emit(catalogue::saveRestoreValidationFailed(supported.error().description));
      machine.memoryBalloonDevices = 0;
    }
  }

  if (Status valid = platform.validate(machine); !valid) return valid.error();
  return machine;
}

}  // namespace tovan
