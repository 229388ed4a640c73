#include "control/host_share.h"

#include <array>

#include "control/run_bounded.h"

namespace tovan {

namespace {

constexpr std::string_view kSmbType = "smbfs";
constexpr double kAttemptSeconds = 3;

std::string decodeOctalEscapes(std::string_view field) {
  auto isOctal = [](char c) { return c >= '0' && c <= '7'; };
  std::string text;
  text.reserve(field.size());
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size() && isOctal(field[i + 1]) &&
        isOctal(field[i + 2]) && isOctal(field[i + 3])) {
      int value = (field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0');
      text += static_cast<char>(value);
      i += 3;
    } else {
      text += field[i];
    }
  }
  return text;
}

std::vector<std::string_view> splitFields(std::string_view line) {
  std::vector<std::string_view> fields;
  size_t start = 0;
  while (start < line.size()) {
    size_t end = line.find(' ', start);
    if (end == std::string_view::npos) end = line.size();
    if (end > start) fields.push_back(line.substr(start, end - start));
    start = end + 1;
  }
  return fields;
}

}  // namespace

HostShareTools systemHostShareTools() { return {readSystemMountTable, runBounded}; }

std::vector<MountEntry> parseMountInfo(std::string_view text) {
  std::vector<MountEntry> entries;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::vector<std::string_view> fields = splitFields(text.substr(start, end - start));
    start = end + 1;
    // id, parent id, major:minor, root, mount point, options, optional fields..., "-", type, ...
    size_t separator = 6;
    while (separator < fields.size() && fields[separator] != "-") ++separator;
    if (separator + 1 >= fields.size()) continue;
    entries.push_back({decodeOctalEscapes(fields[4]), decodeOctalEscapes(fields[separator + 1])});
  }
  return entries;
}

bool isSmbMounted(const std::string& path, const HostShareTools& tools) {
  std::optional<std::vector<MountEntry>> table = tools.readMountTable();
  if (!table) return false;
  for (const MountEntry& entry : *table) {
    if (entry.type == kSmbType && entry.mountPoint == path) return true;
  }
  return false;
}

bool unmountHostShare(const std::string& name, const HostShareTools& tools) {
  const std::string sharePath = "/Volumes/" + name;
  if (!isSmbMounted(sharePath, tools)) return true;
  const std::array<std::vector<std::string>, 3> attempts = {{
      {"/usr/sbin/diskutil", "unmount", sharePath},
      {"/usr/sbin/diskutil", "unmount", "force", sharePath},
      {"/sbin/umount", "-f", sharePath},
  }};
  for (const auto& argv : attempts) {
    tools.run(argv, kAttemptSeconds);
    if (!isSmbMounted(sharePath, tools)) return true;
  }
  return false;
}

}  // namespace tovan
