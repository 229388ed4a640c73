// The byte formats the simulated platform owns: machine identifiers, EFI variable stores and
// saved machine states. Real files with real checks, so that the helper's handling of missing,
// corrupt and foreign files is exercised as it would be against a real platform.
//
// Machine identifier: "tovan-sim-id:" + 32 lower-case hex digits (16 random bytes) + ":" + 8
// hex digits of their FNV-1a checksum, nothing before or after.
//
// Saved state, text lines each ending in a line feed:
//   tovan-sim machine state 1
//   identifier <machine identifier>
//   cpu-count <decimal>
//   memory-size <decimal bytes>
//   uptime <seconds the guest has run, decimal>
//   checksum <16 hex digits of the FNV-1a checksum of every byte before this line>
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/result.h"

namespace tovan {

// A fresh identifier from 16 bytes of the system's randomness.
std::string newSimMachineIdentifier();
bool isSimMachineIdentifier(std::string_view bytes);

// Creates the store file durably, never replacing anything at `path`, not even an entry that
// appears while it is written. Fails with "cannot create EFI variable store at \"<path>\":
// <reason>".
Status createSimEfiVariableStore(const std::string& path);

struct SimSavedState {
  std::string machineIdentifier;
  std::int64_t cpuCount = 0;
  std::uint64_t memorySize = 0;
  double uptimeSeconds = 0;
};

std::string encodeSimSavedState(const SimSavedState& state);
// Fails with "not a saved machine state", "saved machine state is truncated" or "saved machine
// state is corrupt".
Result<SimSavedState> decodeSimSavedState(std::string_view bytes);

// Writes the state to the regular file at `path` and makes it durable before returning. Fails
// with "cannot write saved state to \"<path>\": <reason>".
Status writeSimSavedState(const std::string& path, const SimSavedState& state);
// Reads and decodes the regular file at `path`, never waiting for one that is not. Fails with
// "cannot open saved state \"<path>\": <reason>" (the reason "not a regular file" for a FIFO
// or a device), "cannot read saved state \"<path>\": <reason>", or a decoding failure.
Result<SimSavedState> readSimSavedState(const std::string& path);

// The shared file helpers word a failure "<verb> \"<path>\": <reason>"; the sim's texts name
// what the file is. Gives "<what> \"<path>\": <reason>" with the reason of `failure`.
Error simFileError(std::string_view what, const std::string& path, const Error& failure);

}  // namespace tovan
