#include "platform/saved_state.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/files.h"
#include "base/version.h"

namespace tovan {

namespace {

constexpr std::string_view kMagic = "tovan-vmhelper saved state\n";
constexpr int kFormat = 1;

constexpr std::uint64_t kPrime1 = 0x9e3779b185ebca87ull;
constexpr std::uint64_t kPrime2 = 0xc2b2ae3d27d4eb4full;
constexpr std::uint64_t kPrime3 = 0x165667b19e3779f9ull;
constexpr std::uint64_t kPrime4 = 0x85ebca77c2b2ae63ull;
constexpr std::uint64_t kPrime5 = 0x27d4eb2f165667c5ull;

std::uint64_t rotl(std::uint64_t value, int bits) {
  return (value << bits) | (value >> (64 - bits));
}

std::uint64_t round(std::uint64_t accumulator, std::uint64_t input) {
  return rotl(accumulator + input * kPrime2, 31) * kPrime1;
}

std::uint64_t merge(std::uint64_t hash, std::uint64_t lane) {
  return (hash ^ round(0, lane)) * kPrime1 + kPrime4;
}

// Little-endian, as every host this helper runs on.
std::uint64_t read64(const unsigned char* bytes) {
  std::uint64_t value;
  std::memcpy(&value, bytes, sizeof value);
  return value;
}

std::uint32_t read32(const unsigned char* bytes) {
  std::uint32_t value;
  std::memcpy(&value, bytes, sizeof value);
  return value;
}

std::string hex(std::uint64_t value) {
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
  return text;
}

std::uint64_t checksumOf(std::string_view text) {
  StreamChecksum checksum;
  checksum.add(text.data(), text.size());
  return checksum.value();
}

// The member `key` of `object`, if it is an object that has one.
const nlohmann::json* member(const nlohmann::json* object, const char* key) {
  if (!object || !object->is_object()) return nullptr;
  const auto found = object->find(key);
  return found == object->end() ? nullptr : &*found;
}
const nlohmann::json* member(const nlohmann::json& object, const char* key) {
  return member(&object, key);
}

nlohmann::json diskJson(const DiskIdentity& disk) {
  return {{"device", disk.device},
          {"inode", disk.inode},
          {"size", disk.size},
          {"modifiedNs", disk.modifiedNs}};
}

}  // namespace

Result<DiskIdentity> DiskIdentity::of(const std::string& path) {
  struct stat info;
  if (::stat(path.c_str(), &info) != 0) return pathError("cannot look at", path, errno);
#if defined(__APPLE__)
  const struct timespec modified = info.st_mtimespec;
#else
  const struct timespec modified = info.st_mtim;
#endif
  return DiskIdentity{
      static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino),
      static_cast<std::uint64_t>(info.st_size),
      static_cast<std::int64_t>(modified.tv_sec) * 1'000'000'000 + modified.tv_nsec};
}

nlohmann::json machineFingerprint(const MachineConfiguration& configuration) {
  nlohmann::json devices = nlohmann::json::array();
  for (const StorageDevice& device : configuration.storageDevices) {
    devices.push_back(device.access == DiskAccess::readWrite ? "disk" : "read-only disk");
  }
  std::string mac;
  for (const NetworkDevice& device : configuration.networkDevices) {
    devices.push_back("network");
    if (device.macAddress) mac = device.macAddress->toString();
  }
  if (!configuration.serialPorts.empty()) devices.push_back("console");
  for (int i = 0; i < configuration.entropyDevices; ++i) devices.push_back("entropy");
  for (int i = 0; i < configuration.memoryBalloonDevices; ++i) devices.push_back("balloon");
  return {{"identifier", configuration.machineIdentifier.dataRepresentation},
          {"cpuCount", configuration.cpuCount},
          {"memorySize", configuration.memorySize},
          {"mac", mac},
          {"devices", devices}};
}

std::string encodeSavedStateHeader(const SavedStateHeader& header) {
  const nlohmann::json record = {{"format", kFormat},
                                 {"helperVersion", helperVersion},
                                 {"platform", header.platform},
                                 {"machine", header.machine},
                                 {"disk", diskJson(header.disk)},
                                 {"streamLength", header.streamLength},
                                 {"streamChecksum", hex(header.streamChecksum)}};
  const std::string json = record.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  std::string block(kMagic);
  block += json + "\n" + hex(checksumOf(json)) + "\n";
  block.resize(kSavedStateHeaderSize, '\0');  // a header too long for its block fails to decode
  return block;
}

Result<SavedStateHeader> decodeSavedStateHeader(std::string_view block) {
  if (block.substr(0, kMagic.size()) != kMagic) {
    return savedStateRefused("saved state is not in this helper's format");
  }
  block.remove_prefix(kMagic.size());
  const std::size_t jsonEnd = block.find('\n');
  const std::size_t checksumEnd =
      jsonEnd == std::string_view::npos ? jsonEnd : block.find('\n', jsonEnd + 1);
  if (checksumEnd == std::string_view::npos) return savedStateDamaged("unreadable header");
  const std::string_view json = block.substr(0, jsonEnd);
  if (block.substr(jsonEnd + 1, checksumEnd - jsonEnd - 1) != hex(checksumOf(json))) {
    return savedStateDamaged("unreadable header");
  }
  const nlohmann::json record = nlohmann::json::parse(json, nullptr, /*allow_exceptions=*/false);
  const nlohmann::json* format = member(record, "format");
  if (!format || !format->is_number_integer() || format->get<std::int64_t>() != kFormat) {
    return savedStateRefused("saved state is in another format of this helper's");
  }
  // Every field of this format, of its own type: a header whose checksum holds is still a file
  // the helper may not have written.
  const nlohmann::json* platform = member(record, "platform");
  const nlohmann::json* machine = member(record, "machine");
  const nlohmann::json* disk = member(record, "disk");
  const nlohmann::json* length = member(record, "streamLength");
  const nlohmann::json* checksum = member(record, "streamChecksum");
  const nlohmann::json* device = member(disk, "device");
  const nlohmann::json* inode = member(disk, "inode");
  const nlohmann::json* size = member(disk, "size");
  const nlohmann::json* modified = member(disk, "modifiedNs");
  const auto unsignedNumber = [](const nlohmann::json* value) {
    return value && value->is_number_unsigned();
  };
  if (!platform || !machine || !unsignedNumber(device) || !unsignedNumber(inode) ||
      !unsignedNumber(size) || !modified || !modified->is_number_integer() ||
      !unsignedNumber(length) || !checksum || !checksum->is_string() ||
      checksum->get_ref<const std::string&>().size() != 16 ||
      checksum->get_ref<const std::string&>().find_first_not_of("0123456789abcdef") !=
          std::string::npos) {
    return savedStateDamaged("unreadable header");
  }
  SavedStateHeader header;
  header.platform = *platform;
  header.machine = *machine;
  header.disk = {device->get<std::uint64_t>(), inode->get<std::uint64_t>(),
                 size->get<std::uint64_t>(), modified->get<std::int64_t>()};
  header.streamLength = length->get<std::uint64_t>();
  header.streamChecksum =
      std::strtoull(checksum->get_ref<const std::string&>().c_str(), nullptr, 16);
  return header;
}

std::optional<Error> checkSavedState(const SavedStateHeader& header, std::uint64_t fileSize,
                                     const PlatformRecord& platform,
                                     const MachineConfiguration& configuration,
                                     const DiskIdentity& disk) {
  if (header.platform != platform.record) return incompatiblePlatform(header.platform, platform);
  if (header.machine != machineFingerprint(configuration)) {
    return savedStateRefused("saved state is for another machine");
  }
  if (header.disk != disk) return savedStateRefused("the disk changed after the state was saved");
  if (fileSize < kSavedStateHeaderSize || fileSize - kSavedStateHeaderSize != header.streamLength) {
    return savedStateDamaged(std::to_string(fileSize) + " bytes where " +
                             std::to_string(kSavedStateHeaderSize + header.streamLength) +
                             " were written");
  }
  return std::nullopt;
}

Error savedStateRefused(std::string reason) {
  Error refused{std::move(reason)};
  refused.savedStateAtFault = true;
  return refused;
}

Error savedStateDamaged(std::string_view what) {
  return savedStateRefused("saved state is damaged (" + std::string(what) + ")");
}

Error incompatiblePlatform(const nlohmann::json& saved, const PlatformRecord& platform) {
  return savedStateRefused("saved state was written by an incompatible " + platform.name + " (" +
                           platform.describe(saved) + "; this host runs " +
                           platform.describe(platform.record) + ")");
}

void StreamChecksum::add(const void* data, std::size_t size) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  length_ += size;
  if (pendingSize_ > 0) {
    const std::size_t taken = std::min(size, sizeof pending_ - pendingSize_);
    std::memcpy(pending_ + pendingSize_, bytes, taken);
    pendingSize_ += taken;
    bytes += taken;
    size -= taken;
    if (pendingSize_ < sizeof pending_) return;
    for (int lane = 0; lane < 4; ++lane)
      lanes_[lane] = round(lanes_[lane], read64(pending_ + 8 * lane));
    pendingSize_ = 0;
  }
  while (size >= 32) {
    for (int lane = 0; lane < 4; ++lane)
      lanes_[lane] = round(lanes_[lane], read64(bytes + 8 * lane));
    bytes += 32;
    size -= 32;
  }
  std::memcpy(pending_, bytes, size);
  pendingSize_ = size;
}

std::uint64_t StreamChecksum::value() const {
  std::uint64_t hash;
  if (length_ >= 32) {
    hash = rotl(lanes_[0], 1) + rotl(lanes_[1], 7) + rotl(lanes_[2], 12) + rotl(lanes_[3], 18);
    for (std::uint64_t lane : lanes_) hash = merge(hash, lane);
  } else {
    hash = kPrime5;
  }
  hash += length_;
  const unsigned char* rest = pending_;
  std::size_t left = pendingSize_;
  for (; left >= 8; rest += 8, left -= 8) {
    hash = rotl(hash ^ round(0, read64(rest)), 27) * kPrime1 + kPrime4;
  }
  if (left >= 4) {
    hash = rotl(hash ^ (read32(rest) * kPrime1), 23) * kPrime2 + kPrime3;
    rest += 4;
    left -= 4;
  }
  for (; left > 0; ++rest, --left) hash = rotl(hash ^ (*rest * kPrime5), 11) * kPrime1;
  hash ^= hash >> 33;
  hash *= kPrime2;
  hash ^= hash >> 29;
  hash *= kPrime3;
  hash ^= hash >> 32;
  return hash;
}

}  // namespace tovan
