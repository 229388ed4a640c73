#include "platform/platform.h"

#include <chrono>
#include <cstdio>
#include <thread>

namespace tovan {

void Platform::sleepFor(double seconds) {
  if (seconds > 0) std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

std::string MacAddress::toString() const {
  char text[18];
  std::snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", bytes[0], bytes[1], bytes[2],
                bytes[3], bytes[4], bytes[5]);
  return text;
}

Result<StorageDevice> Platform::attachDiskImage(const std::string& path, DiskAccess access) {
  return attachDiskImage(path, access, DiskCaching::automatic, DiskSynchronization::full);
}

Status Platform::checkLimits(const MachineConfiguration& configuration) const {
  constexpr std::uint64_t kMiB = std::uint64_t{1} << 20;
  const std::int64_t fewestCpus = minimumAllowedCpuCount();
  const std::int64_t mostCpus = maximumAllowedCpuCount();
  if (configuration.cpuCount < fewestCpus || configuration.cpuCount > mostCpus) {
    return Error{"a CPU count of " + std::to_string(configuration.cpuCount) +
                 " is outside what this host allows (" + std::to_string(fewestCpus) + " to " +
                 std::to_string(mostCpus) + ")"};
  }
  const std::uint64_t least = minimumAllowedMemorySize();
  const std::uint64_t most = maximumAllowedMemorySize();
  if (configuration.memorySize < least || configuration.memorySize > most ||
      configuration.memorySize % kMiB != 0) {
    return Error{"a memory size of " + std::to_string(configuration.memorySize) +
                 " bytes is not a whole number of MiB from " + std::to_string(least / kMiB) +
                 " to " + std::to_string(most / kMiB) + " MiB"};
  }
  return {};
}

std::optional<MacAddress> Platform::parseMacAddress(std::string_view text) const {
  return parseColonSeparatedMac(text);
}

std::optional<MacAddress> parseColonSeparatedMac(std::string_view text) {
  MacAddress mac;
  size_t position = 0;
  for (size_t group = 0; group < mac.bytes.size(); ++group) {
    if (group > 0) {
      if (position >= text.size() || text[position] != ':') return std::nullopt;
      ++position;
    }
    unsigned value = 0;
    size_t digits = 0;
    while (position < text.size() && digits < 2) {
      char c = text[position];
      unsigned digit;
      if (c >= '0' && c <= '9') {
        digit = static_cast<unsigned>(c - '0');
      } else if (c >= 'a' && c <= 'f') {
        digit = static_cast<unsigned>(c - 'a' + 10);
      } else if (c >= 'A' && c <= 'F') {
        digit = static_cast<unsigned>(c - 'A' + 10);
      } else {
        break;
      }
      value = value * 16 + digit;
      ++digits;
      ++position;
    }
    if (digits == 0) return std::nullopt;
    mac.bytes[group] = static_cast<std::uint8_t>(value);
  }
  if (position != text.size()) return std::nullopt;
  return mac;
}

}  // namespace tovan
