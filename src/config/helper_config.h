// HelperConfig: everything the helper knows about its one machine, decoded once from the JSON
// file the parent writes. Keys on disk are snake case ("disk_path"); camel-case keys are accepted.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/result.h"

namespace tovan {

struct HelperConfig {
  std::string diskPath;
  std::string seedPath;
  std::string efiStorePath;
  std::string machineIdentifierPath;
  std::string consoleLogPath;
  std::string macAddress;
  std::int64_t cpuCount = 0;
  std::uint64_t memoryMib = 0;
  bool isolated = false;
  std::string savePath;
  std::optional<std::string> vmName;

  bool operator==(const HelperConfig&) const = default;
};

// Decodes the file's bytes. Text that is not JSON, or holds a number beyond what a double can
// hold anywhere in it (also under a key that is otherwise ignored), fails with the line and
// column. Fields are then checked in declaration order and the first failure is the one
// reported, naming its key and what was wrong. Paths and the machine's name must not contain a
// NUL character; the MAC address may (it then does not parse).
Result<HelperConfig> decodeHelperConfig(std::string_view bytes);

// Reads the file at `path` and decodes it. Only a regular file is read, and never waited for: a
// FIFO or a directory fails at once.
Result<HelperConfig> readHelperConfig(const std::string& path);

// Converts a snake-case key to camel case, keeping leading and trailing underscores.
std::string convertFromSnakeCase(std::string_view key);

}  // namespace tovan
