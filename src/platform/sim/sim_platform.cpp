#include "platform/sim/sim_platform.h"

#include <fcntl.h>

#include <cerrno>

#include "base/files.h"
#include "base/unique_fd.h"
#include "platform/sim/sim_files.h"
#include "platform/sim/sim_machine.h"

namespace tovan {

namespace {

// Opens the image as asked, without waiting on whatever is at the path, and reads it whole when
// `contents` is given. Only a regular file or a block device is a disk image.
Status openDiskImage(const std::string& path, DiskAccess access, std::string* contents) {
  const int flags = access == DiskAccess::readWrite ? O_RDWR : O_RDONLY;
  Result<UniqueFd> fd = openFile(path, flags, FileKind::regularOrBlockDevice);
  if (!fd) return simFileError("cannot open disk image", path, fd.error());
  if (contents && !readAll(fd->get(), *contents)) {
    return pathError("cannot read disk image", path, errno);
  }
  return {};
}

}  // namespace

SimPlatform::SimPlatform() = default;

SimPlatform::~SimPlatform() = default;

bool SimPlatform::canSaveAndRestore() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return script_.host == SimHost::macos14;
}

std::optional<MachineIdentifier> SimPlatform::machineIdentifierFromData(
    std::string_view bytes) const {
  if (!isSimMachineIdentifier(bytes)) return std::nullopt;
  return MachineIdentifier{std::string(bytes)};
}

MachineIdentifier SimPlatform::newMachineIdentifier() {
  return MachineIdentifier{newSimMachineIdentifier()};
}

Status SimPlatform::createEfiVariableStore(const std::string& path) {
  return createSimEfiVariableStore(path);
}

std::int64_t SimPlatform::minimumAllowedCpuCount() const { return kMinimumCpuCount; }
std::int64_t SimPlatform::maximumAllowedCpuCount() const { return kMaximumCpuCount; }
std::uint64_t SimPlatform::minimumAllowedMemorySize() const { return kMinimumMemorySize; }
std::uint64_t SimPlatform::maximumAllowedMemorySize() const { return kMaximumMemorySize; }

Result<StorageDevice> SimPlatform::attachDiskImage(const std::string& path, DiskAccess access,
                                                   DiskCaching caching,
                                                   DiskSynchronization synchronization) {
  std::string contents;
  const bool isMainDisk = access == DiskAccess::readWrite;
  if (Status opened = openDiskImage(path, access, isMainDisk ? &contents : nullptr); !opened) {
    return opened.error();
  }
  if (isMainDisk) {
    Result<SimScript> script = parseSimScript(contents);
    if (!script) return script.error();
    std::lock_guard<std::mutex> guard(mutex_);
    script_ = std::move(*script);
  }
  return StorageDevice{path, access, caching, synchronization};
}

Status SimPlatform::validateSaveRestoreSupport(const MachineConfiguration& configuration) const {
  SimScript current = script();
  if (current.host != SimHost::macos14) {
    return Error{"saving and restoring machine state needs macOS 14 or later"};
  }
  if (configuration.entropyDevices > 0) {
    return Error{"the virtio entropy device does not support saving and restoring"};
  }
  if (const std::string* description = current.failure(SimOperation::saveRestoreValidation)) {
    return Error{*description};
  }
  return {};
}

Status SimPlatform::validate(const MachineConfiguration& configuration) const {
  if (configuration.storageDevices.empty()) {
    return Error{"the machine needs at least one storage device"};
  }
  if (Status within = checkLimits(configuration); !within) return within;
  if (!isSimMachineIdentifier(configuration.machineIdentifier.dataRepresentation)) {
    return Error{"the machine identifier is not valid"};
  }
  const SimScript current = script();
  if (const std::string* description = current.failure(SimOperation::validate)) {
    return Error{*description};
  }
  return {};
}

std::unique_ptr<Machine> SimPlatform::createMachine(MachineConfiguration configuration,
                                                    SerialQueue& queue) {
  return std::make_unique<SimMachine>(std::move(configuration), script(), queue);
}

void SimPlatform::sleepFor(double seconds) {
  double scale = 0;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    scale = script_.timeScale;
  }
  Platform::sleepFor(seconds * scale);
}

SimScript SimPlatform::script() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return script_;
}

}  // namespace tovan
