// The host's mount table on Linux, as the kernel keeps it.
#include "base/files.h"
#include "control/host_share.h"

namespace tovan {

std::optional<std::vector<MountEntry>> readSystemMountTable() {
  // A kernel-generated file: reading it never touches the mounted file systems themselves.
  Result<std::string> text = readWholeFile("/proc/self/mountinfo");
  if (!text) return std::nullopt;
  return parseMountInfo(*text);
}

}  // namespace tovan
