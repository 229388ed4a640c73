#include "platform/qemu/qemu_platform.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "base/files.h"
#include "base/unique_fd.h"
#include "platform/qemu/machine_uuid.h"
#include "platform/qemu/qemu_machine.h"

namespace tovan {

namespace {

constexpr std::uint64_t kMiB = std::uint64_t{1} << 20;
constexpr std::int64_t kMostCpusOfMachineType = 288;
constexpr std::uint64_t kLeastMemory = 128 * kMiB;

// QEMU's own wording for an image it cannot open.
Error cannotOpenImage(const std::string& path, const char* reason) {
  return Error{"Could not open '" + path + "': " + reason};
}

}  // namespace

QemuHost QemuHost::detect() {
  QemuHost host;
  host.installation = findQemuInstallation();
  const long cpus = ::sysconf(_SC_NPROCESSORS_ONLN);
  host.cpuCount = cpus > 0 ? cpus : 1;
  const long pages = ::sysconf(_SC_PHYS_PAGES);
  const long pageSize = ::sysconf(_SC_PAGESIZE);
  if (pages > 0 && pageSize > 0) {
    host.memorySize = static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(pageSize);
  }
  return host;
}

QemuPlatform::QemuPlatform(QemuHost host) : host_(std::move(host)) {}

bool QemuPlatform::canSaveAndRestore() const { return true; }

std::optional<MachineIdentifier> QemuPlatform::machineIdentifierFromData(
    std::string_view bytes) const {
  if (!decodeMachineUuid(bytes)) return std::nullopt;
  return MachineIdentifier{std::string(bytes)};
}

MachineIdentifier QemuPlatform::newMachineIdentifier() {
  return MachineIdentifier{encodeMachineUuid(randomMachineUuid())};
}

Status QemuPlatform::createEfiVariableStore(const std::string& path) {
  if (!host_.installation) return host_.installation.error();
  Result<std::string> empty = readWholeFile(host_.installation->firmware.front().varsTemplate);
  if (!empty) return empty.error();
  // Whole or not at all: a short store would fail every later start.
  return writeFileDurably(path, *empty, Replace::never);
}

std::int64_t QemuPlatform::minimumAllowedCpuCount() const { return 1; }

std::int64_t QemuPlatform::maximumAllowedCpuCount() const {
  return std::clamp<std::int64_t>(host_.cpuCount, 1, kMostCpusOfMachineType);
}

std::uint64_t QemuPlatform::minimumAllowedMemorySize() const { return kLeastMemory; }

std::uint64_t QemuPlatform::maximumAllowedMemorySize() const {
  const std::uint64_t threeQuarters = (host_.memorySize / 4 * 3) / kMiB * kMiB;
  return std::max(threeQuarters, kLeastMemory);
}

Result<StorageDevice> QemuPlatform::attachDiskImage(const std::string& path, DiskAccess access,
                                                    DiskCaching caching,
                                                    DiskSynchronization synchronization) {
  // Never waits: a FIFO here must not hang the helper.
  const int flags =
      (access == DiskAccess::readWrite ? O_RDWR : O_RDONLY) | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
  UniqueFd image(::open(path.c_str(), flags));
  if (!image.valid()) return cannotOpenImage(path, std::strerror(errno));
  struct stat info;
  if (::fstat(image.get(), &info) != 0) return cannotOpenImage(path, std::strerror(errno));
  if (S_ISDIR(info.st_mode)) return cannotOpenImage(path, std::strerror(EISDIR));
  if (!S_ISREG(info.st_mode) && !S_ISBLK(info.st_mode)) {
    return cannotOpenImage(path, "not a regular file or block device");
  }
  return StorageDevice{path, access, caching, synchronization};
}

Status QemuPlatform::validateSaveRestoreSupport(const MachineConfiguration&) const {
  // Nothing this backend puts in a machine blocks migration: the pinned machine type, the
  // virtio devices, user networking and the stdio console all carry their state in QEMU's
  // stream, and KVM's `-cpu host` restores on the host that saved it.
  return {};
}

Status QemuPlatform::validate(const MachineConfiguration& configuration) const {
  if (!host_.installation) return host_.installation.error();
  if (!decodeMachineUuid(configuration.machineIdentifier.dataRepresentation)) {
    return Error{"the machine identifier was not made by this host's platform"};
  }
  if (Status within = checkLimits(configuration); !within) return within;

  const std::string& store = configuration.efiVariableStorePath;
  struct stat info;
  if (::stat(store.c_str(), &info) != 0)
    return errorFromErrno("cannot open " + quotedPath(store), errno);
  if (!S_ISREG(info.st_mode) || ::access(store.c_str(), R_OK | W_OK) != 0) {
    return Error{"the EFI variable store " + quotedPath(store) + " is not a writable file"};
  }
  // A store made by one OVMF build works only with that build's code, found by its size.
  if (!host_.installation->firmwareForStore(static_cast<std::uint64_t>(info.st_size))) {
    std::string sizes;
    for (const FirmwarePair& pair : host_.installation->firmware) {
      sizes += (sizes.empty() ? "" : " or ") + std::to_string(pair.varsSize);
    }
    return Error{"the EFI variable store " + quotedPath(store) + " holds " +
                 std::to_string(info.st_size) + " bytes, where the firmware expects " + sizes};
  }

  // One console can be QEMU's standard output, and a machine has at most one balloon.
  if (configuration.serialPorts.size() > 1) return Error{"a machine has at most one console"};
  if (configuration.memoryBalloonDevices > 1) {
    return Error{"a machine has at most one memory balloon"};
  }
  for (const StorageDevice& device : configuration.storageDevices) {
    if (device.path.empty()) return cannotOpenImage(device.path, std::strerror(ENOENT));
  }
  return {};
}

std::unique_ptr<Machine> QemuPlatform::createMachine(MachineConfiguration configuration,
                                                     SerialQueue& queue) {
  return std::make_unique<QemuMachine>(host_.installation, accelerator(), host_.deadlines,
                                       std::move(configuration), queue);
}

std::optional<std::string> QemuPlatform::softwareEmulationReason() {
  if (!host_.installation) return std::nullopt;  // nothing will run at all
  const AcceleratorChoice& choice = accelerator();
  if (choice.accelerator == Accelerator::kvm) return std::nullopt;
  return choice.whyNotKvm;
}

const AcceleratorChoice& QemuPlatform::accelerator() {
  std::call_once(decided_, [this] {
    if (!host_.accelerator) {
      host_.accelerator =
          host_.installation ? probeAccelerator(*host_.installation) : AcceleratorChoice{};
    }
  });
  return *host_.accelerator;
}

}  // namespace tovan
