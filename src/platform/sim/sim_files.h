// The byte formats the simulated platform owns: machine identifiers, EFI variable stores and
// saved machine states. Real files with real checks, so that the helper's handling of missing,
// corrupt and foreign files is exercised as it would be against a real platform.
//
// Machine identifier: "tovan-sim-id:" + 32 lower-case hex digits (16 random bytes) + ":" + 8
// hex digits of their FNV-1a checksum, nothing before or after.
//
// Saved state: the helper's saved-state header (platform/saved_state.h, platform "sim"), then
// the stream "uptime <seconds the guest has run, decimal>\n".
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/result.h"
#include "platform/platform.h"
#include "platform/saved_state.h"

namespace tovan {

// A fresh identifier from 16 bytes of the system's randomness.
std::string newSimMachineIdentifier();
bool isSimMachineIdentifier(std::string_view bytes);

// Creates the store file durably, never replacing anything at `path`, not even an entry that
// appears while it is written. Fails with "cannot create EFI variable store at \"<path>\":
// <reason>".
Status createSimEfiVariableStore(const std::string& path);

// Writes the saved state of `configuration`, over the disk whose identity is `disk`, with the
// guest's uptime as its stream, and makes it durable before returning. Fails with "cannot write
// saved state to \"<path>\": <reason>".
Status writeSimSavedState(const std::string& path, const MachineConfiguration& configuration,
                          const DiskIdentity& disk, double uptimeSeconds);
// Reads the regular file at `path`, never waiting for one that is not, checks its header against
// `configuration` and `disk` and its stream against its checksum, and gives the guest's uptime.
// Fails with "cannot open saved state \"<path>\": <reason>" (the reason "not a regular file"
// for a FIFO or a device), "cannot read saved state \"<path>\": <reason>", or the reason the
// state is refused (platform/saved_state.h).
Result<double> readSimSavedState(const std::string& path, const MachineConfiguration& configuration,
                                 const DiskIdentity& disk);

// The shared file helpers word a failure "<verb> \"<path>\": <reason>"; the sim's texts name
// what the file is. Gives "<what> \"<path>\": <reason>" with the reason of `failure`.
Error simFileError(std::string_view what, const std::string& path, const Error& failure);

}  // namespace tovan
