#include "platform/qemu/command_line.h"

#include "platform/qemu/machine_uuid.h"

namespace tovan {

namespace {

// A saved state loads only into the same machine type, so the type is pinned, not the alias.
constexpr const char* kMachineType = "pc-q35-7.2";

std::string onOff(bool value) { return value ? "on" : "off"; }

// How the host caches the image and whether the guest's flushes reach the disk. Automatic
// caching is the host's page cache; full and fsync synchronization both turn every guest flush
// into an fdatasync of the image.
std::string cacheOptions(const StorageDevice& device) {
  const bool direct = device.caching == DiskCaching::uncached;
  const bool ignoreFlushes = device.synchronization == DiskSynchronization::none;
  return "cache.direct=" + onOff(direct) + ",cache.no-flush=" + onOff(ignoreFlushes);
}

}  // namespace

std::string escapeOptionValue(const std::string& value) {
  std::string escaped;
  escaped.reserve(value.size());
  for (char c : value) {
    escaped += c;
    if (c == ',') escaped += ',';
  }
  return escaped;
}

Result<std::vector<std::string>> qemuCommandLine(const QemuInstallation& installation,
                                                 Accelerator accelerator,
                                                 const MachineConfiguration& configuration,
                                                 LaunchMode mode) {
  auto uuid = decodeMachineUuid(configuration.machineIdentifier.dataRepresentation);
  if (!uuid) return Error{"the machine identifier was not made by this host's platform"};

  std::vector<std::string> argv = {
      installation.emulator, "-nodefaults", "-no-user-config", "-display", "none", "-machine",
      kMachineType};
  if (accelerator == Accelerator::kvm) {
    argv.insert(argv.end(), {"-accel", "kvm", "-cpu", "host"});
  } else {
    argv.insert(argv.end(), {"-accel", "tcg"});
  }
  argv.insert(argv.end(),
              {"-smp", std::to_string(configuration.cpuCount), "-m",
               std::to_string(configuration.memorySize >> 20), "-uuid", uuidText(*uuid)});

  argv.insert(argv.end(), {"-drive",
                           "if=pflash,format=raw,unit=0,readonly=on,file=" +
                               escapeOptionValue(installation.firmwareCode),
                           "-drive",
                           "if=pflash,format=raw,unit=1,file=" +
                               escapeOptionValue(configuration.efiVariableStorePath)});

  for (std::size_t i = 0; i < configuration.storageDevices.size(); ++i) {
    const StorageDevice& device = configuration.storageDevices[i];
    const std::string id = "disk" + std::to_string(i);
    // Errors go to the guest rather than pausing the machine behind the parent's back.
    std::string drive =
        "if=none,id=" + id + ",format=raw," + cacheOptions(device) + ",werror=report,rerror=report";
    if (device.access == DiskAccess::readOnly) drive += ",readonly=on";
    drive += ",file=" + escapeOptionValue(device.path);
    argv.insert(argv.end(), {"-drive", drive, "-device", "virtio-blk-pci,drive=" + id});
  }

  for (std::size_t i = 0; i < configuration.networkDevices.size(); ++i) {
    const NetworkDevice& device = configuration.networkDevices[i];
    const std::string id = "net" + std::to_string(i);
    // No option ROM: the firmware boots from disk only, and QEMU needs no iPXE files.
    std::string nic = "virtio-net-pci,netdev=" + id + ",romfile=";
    if (device.macAddress) nic += ",mac=" + device.macAddress->toString();
    argv.insert(argv.end(), {"-netdev", "user,id=" + id, "-device", nic});
  }

  if (!configuration.serialPorts.empty()) {
    argv.insert(argv.end(),
                {"-device", "virtio-serial-pci", "-chardev", "stdio,id=console0,signal=off",
                 "-device", "virtconsole,chardev=console0"});
  }
  for (int i = 0; i < configuration.entropyDevices; ++i) {
    argv.insert(argv.end(), {"-device", "virtio-rng-pci"});
  }
  for (int i = 0; i < configuration.memoryBalloonDevices; ++i) {
    argv.insert(argv.end(), {"-device", "virtio-balloon-pci"});
  }

  argv.insert(argv.end(), {"-chardev", "socket,id=qmp,fd=" + std::to_string(kQmpDescriptor), "-mon",
                           "chardev=qmp,mode=control"});
  // Paused until told, and a guest reboot ends the machine as a power-off does.
  argv.insert(argv.end(), {"-S", "-no-reboot"});
  if (mode == LaunchMode::incoming) argv.insert(argv.end(), {"-incoming", "defer"});
  return argv;
}

}  // namespace tovan
