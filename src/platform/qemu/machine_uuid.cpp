#include "platform/qemu/machine_uuid.h"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>

#include "base/unique_fd.h"

namespace tovan {

namespace {

constexpr std::string_view kTag = "tovan-machine-id 1 ";
constexpr std::size_t kUuidTextSize = 36;
constexpr std::size_t kEncodedSize = kTag.size() + kUuidTextSize + 1 + 8 + 1;

std::uint32_t crc32(const MachineUuid& bytes) {
  std::uint32_t crc = 0xffffffffu;
  for (std::uint8_t byte : bytes) {
    crc ^= byte;
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

int lowerHexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Parses a run of lower-case hexadecimal digits.
std::optional<std::uint32_t> parseHex(std::string_view text) {
  std::uint32_t value = 0;
  for (char c : text) {
    int digit = lowerHexDigit(c);
    if (digit < 0) return std::nullopt;
    value = value * 16 + static_cast<std::uint32_t>(digit);
  }
  return value;
}

bool fillFromKernel(MachineUuid& uuid) {
  std::size_t filled = 0;
  while (filled < uuid.size()) {
    ssize_t n = ::getrandom(uuid.data() + filled, uuid.size() - filled, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    filled += static_cast<std::size_t>(n);
  }
  if (filled == uuid.size()) return true;
  UniqueFd urandom(::open("/dev/urandom", O_RDONLY | O_CLOEXEC));
  return urandom.valid() &&
         ::read(urandom.get(), uuid.data(), uuid.size()) == static_cast<ssize_t>(uuid.size());
}

}  // namespace

std::string uuidText(const MachineUuid& uuid) {
  char text[kUuidTextSize + 1];
  std::snprintf(text, sizeof text,
                "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", uuid[0],
                uuid[1], uuid[2], uuid[3], uuid[4], uuid[5], uuid[6], uuid[7], uuid[8], uuid[9],
                uuid[10], uuid[11], uuid[12], uuid[13], uuid[14], uuid[15]);
  return text;
}

std::string encodeMachineUuid(const MachineUuid& uuid) {
  char checksum[9];
  std::snprintf(checksum, sizeof checksum, "%08x", crc32(uuid));
  std::string text(kTag);
  text += uuidText(uuid);
  text += ' ';
  text += checksum;
  text += '\n';
  return text;
}

std::optional<MachineUuid> decodeMachineUuid(std::string_view bytes) {
  if (bytes.size() != kEncodedSize || bytes.substr(0, kTag.size()) != kTag) return std::nullopt;
  std::string_view rest = bytes.substr(kTag.size());
  if (rest[kUuidTextSize] != ' ' || rest.back() != '\n') return std::nullopt;

  MachineUuid uuid{};
  std::size_t byte = 0;
  for (std::size_t i = 0; i < kUuidTextSize;) {
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (rest[i] != '-') return std::nullopt;
      ++i;
      continue;
    }
    auto value = parseHex(rest.substr(i, 2));
    if (!value) return std::nullopt;
    uuid[byte++] = static_cast<std::uint8_t>(*value);
    i += 2;
  }
  auto checksum = parseHex(rest.substr(kUuidTextSize + 1, 8));
  if (!checksum || *checksum != crc32(uuid)) return std::nullopt;
  return uuid;
}

MachineUuid randomMachineUuid() {
  MachineUuid uuid{};
  if (!fillFromKernel(uuid)) {
    // No kernel randomness at all: the clock and the process still keep identities apart.
    auto now = static_cast<std::uint64_t>(
        std::chrono::high_resolution_clock::now().time_since_epoch().count());
    auto pid = static_cast<std::uint64_t>(::getpid());
    for (std::size_t i = 0; i < 8; ++i) {
      uuid[i] = static_cast<std::uint8_t>(now >> (8 * i));
      uuid[8 + i] = static_cast<std::uint8_t>((pid * 0x9e3779b97f4a7c15ull) >> (8 * i));
    }
  }
  uuid[6] = static_cast<std::uint8_t>((uuid[6] & 0x0f) | 0x40);  // version 4
  uuid[8] = static_cast<std::uint8_t>((uuid[8] & 0x3f) | 0x80);  // RFC 4122 variant
  return uuid;
}

}  // namespace tovan
