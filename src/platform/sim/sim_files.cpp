#include "platform/sim/sim_files.h"

#include <fcntl.h>

#include <cerrno>
#include <cstdio>
#include <random>

#include "base/files.h"
#include "base/unique_fd.h"
#include "platform/saved_state.h"

namespace tovan {

namespace {

constexpr std::string_view kIdentifierPrefix = "tovan-sim-id:";
constexpr std::size_t kIdentifierBytes = 16;
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

namespace {

const nlohmann::json& simPlatformRecord() {
  static const nlohmann::json record = {{"platform", "sim"}};
  return record;
}

std::string describeSimPlatform(const nlohmann::json& record) {
  return record.value("platform", std::string("?"));
}

}  // namespace

Status writeSimSavedState(const std::string& path, const MachineConfiguration& configuration,
                          const DiskIdentity& disk, double uptimeSeconds) {
  constexpr std::string_view kWhat = "cannot write saved state to";
  char stream[64];
  std::snprintf(stream, sizeof stream, "uptime %.6f\n", uptimeSeconds);
  StreamChecksum checksum;
  checksum.add(stream, std::strlen(stream));
  const std::string bytes =
      encodeSavedStateHeader({simPlatformRecord(), machineFingerprint(configuration), disk,
                              checksum.length(), checksum.value()}) +
      stream;
  Result<UniqueFd> fd = openFile(path, O_WRONLY | O_CREAT | O_TRUNC);
  if (!fd) return simFileError(kWhat, path, fd.error());
  // Not synced here: like Apple's framework, the simulated machine leaves that to its caller.
  if (!writeAll(fd->get(), bytes)) return pathError(kWhat, path, errno);
  return {};
}

Result<double> readSimSavedState(const std::string& path, const MachineConfiguration& configuration,
                                 const DiskIdentity& disk) {
  Result<UniqueFd> fd = openFile(path, O_RDONLY);
  if (!fd) return simFileError("cannot open saved state", path, fd.error());
  std::string bytes;
  if (!readAll(fd->get(), bytes)) return pathError("cannot read saved state", path, errno);
  Result<SavedStateHeader> header =
      decodeSavedStateHeader(std::string_view(bytes).substr(0, kSavedStateHeaderSize));
  if (!header) return header.error();
  if (auto refused =
          checkSavedState(*header, bytes.size(),
                          PlatformRecord{"platform", simPlatformRecord(), describeSimPlatform},
                          configuration, disk)) {
    return *refused;
  }
  const std::string_view stream = std::string_view(bytes).substr(kSavedStateHeaderSize);
  StreamChecksum checksum;
  checksum.add(stream.data(), stream.size());
  if (checksum.value() != header->streamChecksum) return savedStateDamaged("checksum mismatch");
  double uptime = 0;
  if (std::sscanf(std::string(stream).c_str(), "uptime %lf", &uptime) != 1) {
    return savedStateDamaged("no uptime in its stream");
  }
  return uptime;
}

Error simFileError(std::string_view what, const std::string& path, const Error& failure) {
  const std::string& text = failure.description;
  const std::string marker = quotedPath(path) + ": ";
  const auto at = text.rfind(marker);
  const std::string reason = at == std::string::npos ? text : text.substr(at + marker.size());
  return Error{std::string(what) + " " + quotedPath(path) + ": " + reason};
}

}  // namespace tovan
