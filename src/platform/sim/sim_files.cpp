#include "platform/sim/sim_files.h"

#include <fcntl.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <random>

#include "base/files.h"
#include "base/unique_fd.h"

namespace tovan {

namespace {

constexpr std::string_view kIdentifierPrefix = "tovan-sim-id:";
constexpr std::size_t kIdentifierBytes = 16;
constexpr std::string_view kStateMagic = "tovan-sim machine state 1\n";
constexpr std::string_view kEfiStoreContent =
    "tovan-sim EFI variable store 1\n"
    "variables 0\n";

constexpr char kHexDigits[] = "0123456789abcdef";

std::string toHex(std::uint64_t value, int digits) {
  std::string text(static_cast<std::size_t>(digits), '0');
  for (int i = digits - 1; i >= 0; --i) {
    text[static_cast<std::size_t>(i)] = kHexDigits[value & 0xf];
    value >>= 4;
  }
  return text;
}

bool isLowerHex(std::string_view text) {
  for (char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

std::uint32_t fnv1a32(std::string_view bytes) {
  std::uint32_t hash = 2166136261u;
  for (char c : bytes) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 16777619u;
  }
  return hash;
}

std::uint64_t fnv1a64(std::string_view bytes) {
  std::uint64_t hash = 14695981039346656037ull;
  for (char c : bytes) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 1099511628211ull;
  }
  return hash;
}

// Reads "<key> <value>\n" from the front of `bytes`. Absent when the bytes end first; sets
// `malformed` when a whole line is there but is not that key.
std::optional<std::string_view> takeField(std::string_view& bytes, std::string_view key,
                                          bool& malformed) {
  std::size_t newline = bytes.find('\n');
  if (newline == std::string_view::npos) return std::nullopt;
  std::string_view line = bytes.substr(0, newline);
  bytes.remove_prefix(newline + 1);
  if (line.size() <= key.size() || line.substr(0, key.size()) != key || line[key.size()] != ' ') {
    malformed = true;
    return std::nullopt;
  }
  return line.substr(key.size() + 1);
}

template <class Number>
std::optional<Number> parseNumber(std::string_view text) {
  Number value{};
  auto [end, code] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (code != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

}  // namespace

std::string newSimMachineIdentifier() {
  std::random_device randomness;
  std::string hex;
  std::string raw;
  for (std::size_t i = 0; i < kIdentifierBytes; ++i) {
    auto byte = static_cast<unsigned char>(randomness() & 0xff);
    raw += static_cast<char>(byte);
    hex += toHex(byte, 2);
  }
  std::string identifier(kIdentifierPrefix);
  identifier += hex;
  identifier += ':';
  identifier += toHex(fnv1a32(raw), 8);
  return identifier;
}

bool isSimMachineIdentifier(std::string_view bytes) {
  constexpr std::size_t kHexLength = 2 * kIdentifierBytes;
  if (bytes.size() != kIdentifierPrefix.size() + kHexLength + 1 + 8) return false;
  if (bytes.substr(0, kIdentifierPrefix.size()) != kIdentifierPrefix) return false;
  bytes.remove_prefix(kIdentifierPrefix.size());
  std::string_view hex = bytes.substr(0, kHexLength);
  std::string_view checksum = bytes.substr(kHexLength + 1);
  if (bytes[kHexLength] != ':' || !isLowerHex(hex) || !isLowerHex(checksum)) return false;
  std::string raw;
  for (std::size_t i = 0; i < kHexLength; i += 2) {
    raw += static_cast<char>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16));
  }
  return toHex(fnv1a32(raw), 8) == checksum;
}

Status createSimEfiVariableStore(const std::string& path) {
  if (Status written = writeFileDurably(path, kEfiStoreContent, Replace::never); !written) {
    return simFileError("cannot create EFI variable store at", path, written.error());
  }
  return {};
}

std::string encodeSimSavedState(const SimSavedState& state) {
  char uptime[64];
  std::snprintf(uptime, sizeof uptime, "%.6f", state.uptimeSeconds);
  std::string bytes(kStateMagic);
  bytes += "identifier " + state.machineIdentifier + "\n";
  bytes += "cpu-count " + std::to_string(state.cpuCount) + "\n";
  bytes += "memory-size " + std::to_string(state.memorySize) + "\n";
  bytes += "uptime ";
  bytes += uptime;
  bytes += "\n";
  bytes += "checksum " + toHex(fnv1a64(bytes), 16) + "\n";
  return bytes;
}

Result<SimSavedState> decodeSimSavedState(std::string_view bytes) {
  const Error notState{"not a saved machine state"};
  const Error truncated{"saved machine state is truncated"};
  const Error corrupt{"saved machine state is corrupt"};

  // A file cut inside the first line still starts like one of ours: that is truncation.
  if (bytes.empty()) return notState;
  if (bytes.size() < kStateMagic.size()) {
    return kStateMagic.substr(0, bytes.size()) == bytes ? truncated : notState;
  }
  if (bytes.substr(0, kStateMagic.size()) != kStateMagic) return notState;

  const std::string_view whole = bytes;
  std::string_view rest = bytes.substr(kStateMagic.size());
  bool malformed = false;
  auto identifier = takeField(rest, "identifier", malformed);
  auto cpus = identifier ? takeField(rest, "cpu-count", malformed) : std::nullopt;
  auto memory = cpus ? takeField(rest, "memory-size", malformed) : std::nullopt;
  auto uptime = memory ? takeField(rest, "uptime", malformed) : std::nullopt;
  const std::size_t checked = whole.size() - rest.size();
  auto checksum = uptime ? takeField(rest, "checksum", malformed) : std::nullopt;
  if (malformed) return corrupt;
  if (!checksum) return truncated;
  if (!rest.empty() || *checksum != toHex(fnv1a64(whole.substr(0, checked)), 16)) return corrupt;

  SimSavedState state;
  state.machineIdentifier = std::string(*identifier);
  auto cpuCount = parseNumber<std::int64_t>(*cpus);
  auto memorySize = parseNumber<std::uint64_t>(*memory);
  auto seconds = parseNumber<double>(*uptime);
  if (!cpuCount || !memorySize || !seconds) return corrupt;
  state.cpuCount = *cpuCount;
  state.memorySize = *memorySize;
  state.uptimeSeconds = *seconds;
  return state;
}

Status writeSimSavedState(const std::string& path, const SimSavedState& state) {
  constexpr std::string_view kWhat = "cannot write saved state to";
  Result<UniqueFd> fd = openFile(path, O_WRONLY | O_CREAT | O_TRUNC);
  if (!fd) return simFileError(kWhat, path, fd.error());
  if (!writeAll(fd->get(), encodeSimSavedState(state))) return pathError(kWhat, path, errno);
  if (Status synced = syncFile(fd->get(), path); !synced) {
    return simFileError(kWhat, path, synced.error());
  }
  return {};
}

Result<SimSavedState> readSimSavedState(const std::string& path) {
  Result<UniqueFd> fd = openFile(path, O_RDONLY);
  if (!fd) return simFileError("cannot open saved state", path, fd.error());
  std::string bytes;
  if (!readAll(fd->get(), bytes)) return pathError("cannot read saved state", path, errno);
  return decodeSimSavedState(bytes);
}

Error simFileError(std::string_view what, const std::string& path, const Error& failure) {
  const std::string& text = failure.description;
  const std::string marker = quotedPath(path) + ": ";
  const auto at = text.rfind(marker);
  const std::string reason = at == std::string::npos ? text : text.substr(at + marker.size());
  return Error{std::string(what) + " " + quotedPath(path) + ": " + reason};
}

}  // namespace tovan
