// The saved-state file of the QEMU and simulated backends: a header of this helper's own, then
// the platform's stream of the machine's state.
//
// A saved state is the user's running session, and resuming it onto the wrong machine, over a
// disk written since, or with damaged bytes corrupts the guest's file systems silently. The
// header says what the stream belongs to, and is checked before anything is resumed:
//   bytes 0 to 4095    "tovan-vmhelper saved state\n", one line of JSON, one line with the
//                      JSON's checksum, then zero bytes to the end of the block;
//   bytes 4096 on      the stream, exactly as long as the header says, with the checksum it
//                      gives (XXH64).
// The JSON holds the format, the helper's version, the platform's own record (for QEMU: its
// version, machine type, accelerator and CPU model), the machine's fingerprint (identifier, CPU
// count, memory size, MAC, devices), the disk's identity once its last write before the save
// was flushed, and the stream's length and checksum.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "base/result.h"
#include "platform/platform.h"

namespace tovan {

inline constexpr std::size_t kSavedStateHeaderSize = 4096;

// Enough of a disk image's state to notice any later write to it.
struct DiskIdentity {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::uint64_t size = 0;
  std::int64_t modifiedNs = 0;
  bool operator==(const DiskIdentity&) const = default;

  static Result<DiskIdentity> of(const std::string& path);
};

struct SavedStateHeader {
  nlohmann::json platform;  // the backend's own record of what can load the stream
  nlohmann::json machine;   // machineFingerprint() of the machine that was saved
  DiskIdentity disk;
  std::uint64_t streamLength = 0;
  std::uint64_t streamChecksum = 0;
};

// The machine as far as a saved state depends on it.
nlohmann::json machineFingerprint(const MachineConfiguration& configuration);

// The header block, exactly kSavedStateHeaderSize bytes.
std::string encodeSavedStateHeader(const SavedStateHeader& header);

// Reads a header block. Fails with a reason fit for "restore failed (<reason>)".
Result<SavedStateHeader> decodeSavedStateHeader(std::string_view block);

// What can load a stream, as the platform records it in a header and says it to the parent.
struct PlatformRecord {
  std::string name;  // "QEMU"
  nlohmann::json record;
  std::string (*describe)(const nlohmann::json& record);  // "7.2.22, pc-q35-7.2, TCG, qemu64"
};

// Why a state with `header`, in a file of `fileSize` bytes, cannot be resumed as `configuration`
// on `platform`, over the disk whose identity is `disk` now; nothing when it can, as far as the
// header tells (the stream's checksum is checked as it is read).
std::optional<Error> checkSavedState(const SavedStateHeader& header, std::uint64_t fileSize,
                                     const PlatformRecord& platform,
                                     const MachineConfiguration& configuration,
                                     const DiskIdentity& disk);

// The reasons a saved state is refused; each marks the state itself as the cause.
Error savedStateRefused(std::string reason);
Error savedStateDamaged(std::string_view what);  // "saved state is damaged (<what>)"
// "saved state was written by an incompatible <name> (<saved>; this host runs <platform>)"
Error incompatiblePlatform(const nlohmann::json& saved, const PlatformRecord& platform);

// XXH64 of a stream fed in pieces of any size.
class StreamChecksum {
 public:
  void add(const void* data, std::size_t size);
  std::uint64_t value() const;
  std::uint64_t length() const { return length_; }

 private:
  std::uint64_t lanes_[4] = {0x60ea27eeadc0b5d6ull, 0xc2b2ae3d27d4eb4full, 0ull,
                             0x61c8864e7a143579ull};
  unsigned char pending_[32] = {};
  std::size_t pendingSize_ = 0;
  std::uint64_t length_ = 0;
};

}  // namespace tovan
