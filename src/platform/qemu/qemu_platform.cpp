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
Error cannotOpenImage(const std::string& path, int code) {
  return Error{"Could not open '" + path + "': " + std::strerror(code)};
}

// Copies all of `from` to `to`, finishing short writes.
Status copyAll(int from, int to) {
  char buffer[16384];
  for (;;) {
    ssize_t got = ::read(from, buffer, sizeof buffer);
    if (got == 0) return {};
    if (got < 0) {
      if (errno == EINTR) continue;
      return errorFromErrno("cannot read the firmware's variable store", errno);
    }
    for (ssize_t done = 0; done < got;) {
      ssize_t put = ::write(to, buffer + done, static_cast<std::size_t>(got - done));
      if (put < 0) {
        if (errno == EINTR) continue;
        return Error{std::strerror(errno)};
      }
      done += put;
    }
  }
}

}  // namespace

QemuHost QemuHost::detect() {
  QemuHost host;
  host.installation = findQemuInstallation();
  host.accelerator = chooseAccelerator();
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
  const std::string& templatePath = host_.installation->firmwareVarsTemplate;
  UniqueFd source(::open(templatePath.c_str(), O_RDONLY | O_CLOEXEC));
  if (!source.valid()) return errorFromErrno("cannot open " + quotedPath(templatePath), errno);
  UniqueFd store(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  if (!store.valid()) return errorFromErrno("cannot create " + quotedPath(path), errno);

  Status copied = copyAll(source.get(), store.get());
  if (copied && ::fsync(store.get()) != 0) copied = Error{std::strerror(errno)};
  if (!copied) {
    // A short store would only fail later, at start, with a less helpful message.
    store.reset();
    (void)::unlink(path.c_str());
    return Error{"cannot write " + quotedPath(path) + ": " + copied.error().description};
  }
  return {};
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
  const int flags = (access == DiskAccess::readWrite ? O_RDWR : O_RDONLY) | O_CLOEXEC;
  UniqueFd image(::open(path.c_str(), flags));
  if (!image.valid()) return cannotOpenImage(path, errno);
  struct stat info;
  if (::fstat(image.get(), &info) != 0) return cannotOpenImage(path, errno);
  if (S_ISDIR(info.st_mode)) return cannotOpenImage(path, EISDIR);
  if (!S_ISREG(info.st_mode) && !S_ISBLK(info.st_mode)) return cannotOpenImage(path, EINVAL);
  return StorageDevice{path, access, caching, synchronization};
}

Result<StorageDevice> QemuPlatform::attachDiskImage(const std::string& path, DiskAccess access) {
  return attachDiskImage(path, access, DiskCaching::automatic, DiskSynchronization::full);
}

std::optional<MacAddress> QemuPlatform::parseMacAddress(std::string_view text) const {
  return parseColonSeparatedMac(text);
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
  if (configuration.cpuCount < minimumAllowedCpuCount() ||
      configuration.cpuCount > maximumAllowedCpuCount()) {
    return Error{"a CPU count of " + std::to_string(configuration.cpuCount) +
                 " is outside what this host allows (" + std::to_string(minimumAllowedCpuCount()) +
                 " to " + std::to_string(maximumAllowedCpuCount()) + ")"};
  }
  if (configuration.memorySize < minimumAllowedMemorySize() ||
      configuration.memorySize > maximumAllowedMemorySize() ||
      configuration.memorySize % kMiB != 0) {
    return Error{"a memory size of " + std::to_string(configuration.memorySize) +
                 " bytes is not a whole number of MiB from " +
                 std::to_string(minimumAllowedMemorySize() / kMiB) + " to " +
                 std::to_string(maximumAllowedMemorySize() / kMiB) + " MiB"};
  }

  const std::string& store = configuration.efiVariableStorePath;
  struct stat info;
  if (::stat(store.c_str(), &info) != 0)
    return errorFromErrno("cannot open " + quotedPath(store), errno);
  if (!S_ISREG(info.st_mode) || ::access(store.c_str(), R_OK | W_OK) != 0) {
    return Error{"the EFI variable store " + quotedPath(store) + " is not a writable file"};
  }
  const std::uint64_t expected = host_.installation->firmwareVarsSize;
  if (static_cast<std::uint64_t>(info.st_size) != expected) {
    return Error{"the EFI variable store " + quotedPath(store) + " holds " +
                 std::to_string(info.st_size) + " bytes, where the firmware expects " +
                 std::to_string(expected)};
  }

  // One console can be QEMU's standard output, and a machine has at most one balloon.
  if (configuration.serialPorts.size() > 1) return Error{"a machine has at most one console"};
  if (configuration.memoryBalloonDevices > 1) {
    return Error{"a machine has at most one memory balloon"};
  }
  for (const StorageDevice& device : configuration.storageDevices) {
    if (device.path.empty()) return cannotOpenImage(device.path, ENOENT);
  }
  return {};
}

std::unique_ptr<Machine> QemuPlatform::createMachine(MachineConfiguration configuration,
                                                     SerialQueue& queue) {
  return std::make_unique<QemuMachine>(host_.installation, host_.accelerator,
                                       std::move(configuration), queue);
}

}  // namespace tovan
