// The simulated platform: the test double for the whole helper. It keeps real per-machine files
// in its own formats (sim_files.h), fails with real-looking texts, and plays the script it reads
// from the main disk image (sim_script.h). Linked only into tovan-vmhelper-sim and the tests.
//
// Limits: 1 to 64 CPUs; 64 MiB to 1 TiB of memory, a whole number of MiB.
// validate() also refuses a machine without storage devices or with an identifier that is not
// one of the sim's. validateSaveRestoreSupport() refuses a host below macOS 14 and a machine with
// an entropy device (it cannot be saved), besides what the script says.
#pragma once

#include <memory>
#include <mutex>

#include "platform/platform.h"
#include "platform/sim/sim_script.h"

namespace tovan {

class SimPlatform final : public Platform {
 public:
  static constexpr std::int64_t kMinimumCpuCount = 1;
  static constexpr std::int64_t kMaximumCpuCount = 64;
  static constexpr std::uint64_t kMinimumMemorySize = std::uint64_t{64} << 20;
  static constexpr std::uint64_t kMaximumMemorySize = std::uint64_t{1} << 40;

  SimPlatform();
  // The machines it created must be gone first.
  ~SimPlatform() override;

  // Any thread: reads the script under the platform's lock.
  bool canSaveAndRestore() const override;

  std::optional<MachineIdentifier> machineIdentifierFromData(std::string_view bytes) const override;
  MachineIdentifier newMachineIdentifier() override;
  Status createEfiVariableStore(const std::string& path) override;

  std::int64_t minimumAllowedCpuCount() const override;
  std::int64_t maximumAllowedCpuCount() const override;
  std::uint64_t minimumAllowedMemorySize() const override;
  std::uint64_t maximumAllowedMemorySize() const override;

  // Opens the image with the access asked for, never waiting on what is at the path. A
  // read-write attach also reads the image as the script and makes it the platform's current
  // one; a malformed script fails the attach. Fails with "cannot open disk image \"<path>\":
  // <reason>", the reason "not a regular file or block device" for a FIFO or a character device.
  Result<StorageDevice> attachDiskImage(const std::string& path, DiskAccess access,
                                        DiskCaching caching,
                                        DiskSynchronization synchronization) override;
  using Platform::attachDiskImage;

  Status validateSaveRestoreSupport(const MachineConfiguration& configuration) const override;
  Status validate(const MachineConfiguration& configuration) const override;

  // The machine plays the current script. Completions arrive on `queue`, which must outlive it.
  std::unique_ptr<Machine> createMachine(MachineConfiguration configuration,
                                         SerialQueue& queue) override;

  // Any thread: sleeps `seconds` times the script's time scale.
  void sleepFor(double seconds) override;

  // The current script: the default until a read-write attach succeeded. Any thread.
  SimScript script() const;

 private:
  mutable std::mutex mutex_;
  SimScript script_;
};

}  // namespace tovan
