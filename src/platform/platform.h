// The virtualization platform as the machine code sees it: configuration checks, the machine
// object and its delegate. One interface, one backend per host:
//   sim   an in-process simulated machine for tests (tovan-vmhelper-sim),
//   qemu  QEMU over QMP with OVMF firmware (Linux),
//   vz    Apple's Virtualization framework (macOS).
// Callers hold no #ifdef; the build picks the backend.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"
#include "base/unique_fd.h"
#include "platform/serial_queue.h"

namespace tovan {

// The opaque bytes that identify one machine across boots. Only the platform interprets them.
struct MachineIdentifier {
  std::string dataRepresentation;
};

struct MacAddress {
  std::array<std::uint8_t, 6> bytes{};
  std::string toString() const;  // "xx:xx:xx:xx:xx:xx", lower case
  bool operator==(const MacAddress&) const = default;
};

// How the host caches a disk image and honours the guest's flushes.
enum class DiskCaching { automatic, cached, uncached };
enum class DiskSynchronization { full, fsync, none };
enum class DiskAccess { readWrite, readOnly };

struct StorageDevice {  // a virtio block device on a disk image
  std::string path;
  DiskAccess access = DiskAccess::readWrite;
  DiskCaching caching = DiskCaching::automatic;
  DiskSynchronization synchronization = DiskSynchronization::full;
};

struct NetworkDevice {                   // a virtio network device with NAT
  std::optional<MacAddress> macAddress;  // absent: the platform's own choice
};

struct SerialPort {               // a virtio console that writes to a file and takes no input
  std::shared_ptr<UniqueFd> log;  // open for writing, positioned at byte 0, never truncated
  std::string logPath;            // the path the log was opened from, for backends that need it
};

// A machine's virtual hardware. The builder fills it; the platform validates and runs it.
struct MachineConfiguration {
  MachineIdentifier machineIdentifier;
  std::string efiVariableStorePath;
  std::int64_t cpuCount = 0;
  std::uint64_t memorySize = 0;  // bytes
  std::vector<StorageDevice> storageDevices;
  std::vector<NetworkDevice> networkDevices;
  std::vector<SerialPort> serialPorts;
  int entropyDevices = 0;
  int memoryBalloonDevices = 0;
};

// Delivered on the machine's queue. Present: the operation failed with that error.
using Completion = std::function<void(std::optional<Error> error)>;

// Receives what the machine reports by itself, on the machine's queue.
class MachineDelegate {
 public:
  virtual ~MachineDelegate() = default;
  // The guest powered the machine off.
  virtual void guestDidStop() = 0;
  // The machine stopped because of an error.
  virtual void didStopWithError(const Error& error) = 0;
  // The network attachment went away; the machine goes on without it.
  virtual void networkAttachmentWasDisconnected(const Error& error) = 0;
};

// One virtual machine. Every call is made on the queue the machine was created with, and every
// completion and delegate callback arrives there.
class Machine {
 public:
  virtual ~Machine() = default;

  virtual void setDelegate(MachineDelegate* delegate) = 0;

  // Boots the machine; completes once the guest runs.
  virtual void start(Completion done) = 0;
  // Loads saved state from `path`; on success the machine is paused and must be resumed.
  virtual void restoreMachineState(const std::string& path, Completion done) = 0;
  virtual void resume(Completion done) = 0;
  virtual void pause(Completion done) = 0;
  // Writes the paused machine's whole state to `path`.
  virtual void saveMachineState(const std::string& path, Completion done) = 0;

  // True only while the machine runs.
  virtual bool canPause() const = 0;
  virtual bool canRequestStop() const = 0;
  // Asks the guest to shut down; the outcome arrives later through the delegate.
  virtual Status requestStop() = 0;
};

class Platform {
 public:
  virtual ~Platform() = default;

  // Whether machine state can be saved and restored on this host (on macOS: 14 or later).
  virtual bool canSaveAndRestore() const = 0;

  // An identifier from stored bytes; absent when the platform rejects them.
  virtual std::optional<MachineIdentifier> machineIdentifierFromData(
      std::string_view bytes) const = 0;
  virtual MachineIdentifier newMachineIdentifier() = 0;

  // Creates a new EFI variable store at `path`; fails if anything is in the way.
  virtual Status createEfiVariableStore(const std::string& path) = 0;

  virtual std::int64_t minimumAllowedCpuCount() const = 0;
  virtual std::int64_t maximumAllowedCpuCount() const = 0;
  virtual std::uint64_t minimumAllowedMemorySize() const = 0;
  virtual std::uint64_t maximumAllowedMemorySize() const = 0;

  // Checks that a disk image can be attached as asked and describes the device.
  virtual Result<StorageDevice> attachDiskImage(const std::string& path, DiskAccess access,
                                                DiskCaching caching,
                                                DiskSynchronization synchronization) = 0;
  // Same, with the platform's default caching and synchronization (automatic, full).
  virtual Result<StorageDevice> attachDiskImage(const std::string& path, DiskAccess access);

  // Absent when the text is not a MAC address; by default "xx:xx:xx:xx:xx:xx" in hexadecimal of
  // either case, one or two digits a group.
  virtual std::optional<MacAddress> parseMacAddress(std::string_view text) const;

  // The CPU count and memory size within this platform's limits, the memory in whole MiB; for
  // the backends' validate().
  Status checkLimits(const MachineConfiguration& configuration) const;

  virtual Status validateSaveRestoreSupport(const MachineConfiguration& configuration) const = 0;
  virtual Status validate(const MachineConfiguration& configuration) const = 0;

  // Creates the one machine. It lives on `queue` from here on.
  virtual std::unique_ptr<Machine> createMachine(MachineConfiguration configuration,
                                                 SerialQueue& queue) = 0;

  // Why this host runs its machines under software emulation, for the parent's log; absent when
  // it has hardware virtualization. Known once a machine has been created.
  virtual std::optional<std::string> softwareEmulationReason() { return std::nullopt; }

  // The host's sleep. A simulated host may run its time faster; everything else sleeps for real.
  virtual void sleepFor(double seconds);
};

// The backend this executable was built with, created on first use and never destroyed.
Platform& hostPlatform();

// Parses "xx:xx:xx:xx:xx:xx" (hexadecimal, either case, one or two digits a group).
std::optional<MacAddress> parseColonSeparatedMac(std::string_view text);

}  // namespace tovan
