// The host's SMB share of a guest, at "/Volumes/" + the machine's name, and its forced removal
// before the guest that serves it is frozen.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tovan {

struct MountEntry {
  std::string mountPoint;  // decoded, exactly as the kernel knows it
  std::string type;        // the file-system type name, e.g. "smbfs"
};

// Where the mount table and the external programs come from; tests substitute both.
struct HostShareTools {
  // The current mount table; absent when it cannot be read. Must not touch any mounted file
  // system, since the share being looked for may be hung.
  std::function<std::optional<std::vector<MountEntry>>()> readMountTable;
  // Runs a program with a time bound in seconds (see runBounded).
  std::function<void(const std::vector<std::string>& argv, double seconds)> run;
};

// The host's own mount table and runBounded.
HostShareTools systemHostShareTools();

// The host's mount table, read without touching any mounted file system (a hung share must not
// block the reader): getmntinfo(3) with MNT_NOWAIT on macOS (mount_table_apple.cpp), the
// kernel's /proc/self/mountinfo on Linux (mount_table_linux.cpp). Absent when it cannot be read.
std::optional<std::vector<MountEntry>> readSystemMountTable();

// Decodes the text of /proc/<pid>/mountinfo: the mount point (fifth field) and the type (first
// field after the " - " separator), with the kernel's octal escapes (\040 for a blank, \011,
// \012, \134) undone. Lines that do not have that shape are skipped.
std::vector<MountEntry> parseMountInfo(std::string_view text);

// True when the mount table has an entry of type "smbfs" whose mount point is exactly `path`.
// A table that cannot be read holds no such entry.
bool isSmbMounted(const std::string& path, const HostShareTools& tools = systemHostShareTools());

// Makes sure nothing of type "smbfs" stays mounted at "/Volumes/" + `name`, escalating from a
// polite unmount to forced ones, each bounded to 3 seconds and each followed by a fresh look at
// the mount table, the only judge of success. True when nothing is mounted there on return
// (nothing run when nothing was mounted); false when it survived all three attempts. Blocks the
// calling thread (the stdin reader at end of input).
bool unmountHostShare(const std::string& name,
                      const HostShareTools& tools = systemHostShareTools());

}  // namespace tovan
