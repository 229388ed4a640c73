// The host's mount table on macOS, as the kernel keeps it.
#include <sys/param.h>
// After sys/param.h, as getmntinfo(3) asks.
#include <sys/mount.h>

#include <cstddef>

#include "control/host_share.h"

namespace tovan {

std::optional<std::vector<MountEntry>> readSystemMountTable() {
  // MNT_NOWAIT: the kernel's current table, without asking any file system for fresh figures, so
  // a hung share cannot block the caller. The table belongs to the system and is not freed.
  struct statfs* table = nullptr;
  const int count = ::getmntinfo(&table, MNT_NOWAIT);
  if (count < 1 || table == nullptr) return std::nullopt;
  std::vector<MountEntry> entries;
  entries.reserve(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) entries.push_back({table[i].f_mntonname, table[i].f_fstypename});
  return entries;
}

}  // namespace tovan
