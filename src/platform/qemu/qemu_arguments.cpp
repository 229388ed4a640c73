#include "platform/qemu/qemu_arguments.h"

#include "platform/qemu/machine_uuid.h"
#include "platform/qemu/qmp.h"

namespace tovan {

namespace {

constexpr std::string_view kFdSetPrefix = "/dev/fdset/";

std::string onOff(bool value) { return value ? "on" : "off"; }

// How the host caches the image and whether the guest's flushes reach the disk. Cached and
// automatic caching are the host's page cache; full and fsync synchronization both turn every
// guest flush into an fdatasync of the image.
std::string cacheOptions(const StorageDevice& device) {
  const bool direct = device.caching == DiskCaching::uncached;
  const bool ignoreFlushes = device.synchronization == DiskSynchronization::none;
  return ",cache.direct=" + onOff(direct) + ",cache.no-flush=" + onOff(ignoreFlushes);
}

class Builder {
 public:
  explicit Builder(QemuLaunch& launch) : launch_(launch) {}

  void add(std::initializer_list<std::string> arguments) {
    launch_.argv.insert(launch_.argv.end(), arguments);
  }

  // Passes `file` to QEMU and defines a raw block node `name` on it; `options` go to the file
  // node.
  void blockNode(const std::string& name, PassedFile file, const std::string& options) {
    launch_.files.push_back(std::move(file));
    const std::size_t set = launch_.files.size();
    const bool readOnly = launch_.files.back().access == DiskAccess::readOnly;
    const std::string readOnlyOption = readOnly ? ",read-only=on" : "";
    fdSets_.insert(
        fdSets_.end(),
        {"-add-fd", "fd=" + std::to_string(kFirstPassedDescriptor + static_cast<int>(set) - 1) +
                        ",set=" + std::to_string(set)});
    nodes_.insert(
        nodes_.end(),
        {"-blockdev",
         "driver=file,node-name=" + name + "-file,filename=" + std::string(kFdSetPrefix) +
             std::to_string(set) + options + readOnlyOption,
         "-blockdev", "driver=raw,node-name=" + name + ",file=" + name + "-file" + readOnlyOption});
  }

  // The fd sets come first on the command line: QEMU opens the nodes as it reads them.
  void finishFiles() {
    launch_.argv.insert(launch_.argv.end(), fdSets_.begin(), fdSets_.end());
    launch_.argv.insert(launch_.argv.end(), nodes_.begin(), nodes_.end());
  }

 private:
  QemuLaunch& launch_;
  std::vector<std::string> fdSets_;
  std::vector<std::string> nodes_;
};

}  // namespace

std::string withFilePaths(std::string_view qemuText, const std::vector<PassedFile>& files) {
  std::string text;
  for (;;) {
    const std::size_t at = qemuText.find(kFdSetPrefix);
    text += qemuText.substr(0, at);
    if (at == std::string_view::npos) return text;
    qemuText.remove_prefix(at + kFdSetPrefix.size());
    std::size_t digits = 0;
    std::size_t set = 0;
    while (digits < qemuText.size() && qemuText[digits] >= '0' && qemuText[digits] <= '9' &&
           digits < 4) {
      set = set * 10 + static_cast<std::size_t>(qemuText[digits] - '0');
      ++digits;
    }
    if (digits > 0 && set >= 1 && set <= files.size()) {
      text += files[set - 1].path;
    } else {
      text += kFdSetPrefix;
      text += qemuText.substr(0, digits);
    }
    qemuText.remove_prefix(digits);
  }
}

Result<QemuLaunch> buildQemuArguments(const std::string& emulator, const std::string& firmwareCode,
                                      const AcceleratorChoice& accelerator,
                                      const MachineConfiguration& configuration, LaunchMode mode) {
  auto uuid = decodeMachineUuid(configuration.machineIdentifier.dataRepresentation);
  if (!uuid) return Error{"the machine identifier was not made by this host's platform"};

  QemuLaunch launch;
  Builder builder(launch);
  builder.add({emulator, "-nodefaults", "-no-user-config", "-display", "none", "-machine",
               std::string(kQemuMachineType) + ",pflash0=firmware-code,pflash1=firmware-vars"});
  builder.add({"-accel", accelerator.accelerator == Accelerator::kvm ? "kvm" : "tcg", "-cpu",
               accelerator.cpuModel});
  builder.add({"-smp", std::to_string(configuration.cpuCount), "-m",
               std::to_string(configuration.memorySize >> 20), "-uuid", uuidText(*uuid)});

  builder.blockNode("firmware-code", {firmwareCode, DiskAccess::readOnly, FileKind::regular}, "");
  builder.blockNode("firmware-vars",
                    {configuration.efiVariableStorePath, DiskAccess::readWrite, FileKind::regular},
                    "");
  std::vector<std::string> disks;
  for (std::size_t i = 0; i < configuration.storageDevices.size(); ++i) {
    const StorageDevice& device = configuration.storageDevices[i];
    const std::string id = "disk" + std::to_string(i);
    builder.blockNode(id, {device.path, device.access, FileKind::regularOrBlockDevice},
                      cacheOptions(device));
    // Errors go to the guest rather than pausing the machine behind the parent's back.
    disks.insert(disks.end(), {"-device", "virtio-blk-pci,drive=" + id +
                                              ",write-cache=on,werror=report,rerror=report"});
  }
  builder.finishFiles();
  launch.argv.insert(launch.argv.end(), disks.begin(), disks.end());

  for (std::size_t i = 0; i < configuration.networkDevices.size(); ++i) {
    const NetworkDevice& device = configuration.networkDevices[i];
    const std::string id = "net" + std::to_string(i);
    // No option ROM: the firmware boots from disk only, and QEMU needs no iPXE files.
    std::string nic = "virtio-net-pci,netdev=" + id + ",romfile=";
    if (device.macAddress) nic += ",mac=" + device.macAddress->toString();
    builder.add({"-netdev", "user,id=" + id, "-device", nic});
  }

  if (!configuration.serialPorts.empty()) {
    builder.add({"-device", "virtio-serial-pci", "-chardev", "stdio,id=console0,signal=off",
                 "-device", "virtconsole,chardev=console0"});
  }
  for (int i = 0; i < configuration.entropyDevices; ++i) builder.add({"-device", "virtio-rng-pci"});
  for (int i = 0; i < configuration.memoryBalloonDevices; ++i) {
    builder.add({"-device", "virtio-balloon-pci"});
  }

  builder.add({"-chardev", "socket,id=qmp,fd=" + std::to_string(kQmpDescriptor), "-mon",
               "chardev=qmp,mode=control"});
  // Paused until told, and a guest reboot ends the machine as a power-off does.
  builder.add({"-S", "-no-reboot"});
  if (mode == LaunchMode::incoming) builder.add({"-incoming", "defer"});
  return launch;
}

}  // namespace tovan
