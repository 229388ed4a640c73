// The QEMU backend's stored form of a machine identifier: the 16 bytes that QEMU gives the guest
// as its SMBIOS system UUID.
//
// The identifier file holds one line, "tovan-machine-id 1 <uuid> <crc32>\n": a versioned tag, the
// UUID in its usual 8-4-4-4-12 lower-case form and a CRC-32 of the 16 bytes. The checksum lets a
// damaged file be told from another machine's identity, so it is replaced instead of trusted.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tovan {

using MachineUuid = std::array<std::uint8_t, 16>;

// "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx", lower case: the form `-uuid` takes.
std::string uuidText(const MachineUuid& uuid);

// The identifier file's exact bytes for `uuid`.
std::string encodeMachineUuid(const MachineUuid& uuid);

// The UUID in a stored identifier; absent unless `bytes` is exactly what encodeMachineUuid makes
// for some UUID.
std::optional<MachineUuid> decodeMachineUuid(std::string_view bytes);

// A fresh random (version 4) UUID from the kernel's random source.
MachineUuid randomMachineUuid();

}  // namespace tovan
