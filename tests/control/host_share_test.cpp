// The host-share unmount ladder on a scripted mount table and runner; Linux's mount table read.
#include <gmock/gmock.h>

#include "control/host_share.h"

namespace tovan::test {
namespace {

using Argv = std::vector<std::string>;

// Each row: the entry in the share's place among other mounts, the programs run before it goes,
// whether it ends up gone, and the programs run. Only SMB at exactly the share's path counts.
TEST(HostShare, EachAttemptIsFollowedByAFreshLookAndTheLadderStopsOnceTheShareIsGone) {
  const Argv polite = {"/usr/sbin/diskutil", "unmount", "/Volumes/my vm"};
  const Argv forced = {"/usr/sbin/diskutil", "unmount", "force", "/Volumes/my vm"};
  const Argv umount = {"/sbin/umount", "-f", "/Volumes/my vm"};
  const MountEntry share = {"/Volumes/my vm", "smbfs"};
  const std::vector<std::tuple<MountEntry, size_t, bool, std::vector<Argv>>> rows = {
      {share, 1, true, {polite}},
      {share, 3, true, {polite, forced, umount}},
      {share, 9, false, {polite, forced, umount}},
      {{"/Volumes/my vm", "apfs"}, 9, true, {}},
      {{"/Volumes/my vm", "SMBFS"}, 9, true, {}},
      {{"/Volumes/my vm 1", "smbfs"}, 9, true, {}},
      {{"/Volumes/my vm/", "smbfs"}, 9, true, {}},
      {{"/Volumes/my\\040vm", "smbfs"}, 9, true, {}}};
  for (const auto& [entry, runsUntilGone, gone, expected] : rows) {
    std::vector<Argv> runs;
    auto table = [&]() -> std::optional<std::vector<MountEntry>> {
      std::vector<MountEntry> mounted = {{"/", "apfs"}, {"/Volumes/Backup", "smbfs"}};
      if (runs.size() < runsUntilGone) mounted.push_back(entry);
      return mounted;
    };
    auto run = [&](const Argv& argv, double seconds) {
      runs.push_back(argv);
      EXPECT_EQ(seconds, 3.0);
    };
    EXPECT_EQ(unmountHostShare("my vm", {table, run}), gone) << entry.mountPoint << entry.type;
    EXPECT_EQ(runs, expected) << entry.mountPoint << entry.type << " " << runsUntilGone;
  }
  // A table that cannot be read holds no share.
  EXPECT_TRUE(unmountHostShare("my vm",
                               {[] { return std::nullopt; }, [](const Argv&, double) { FAIL(); }}));
}

TEST(ParseMountInfo, TakesTheUnescapedMountPointAndTheTypeAfterTheSeparator) {
  const std::string text =
      "22 1 0:21 / / rw,relatime - ext4 /dev/sda1 rw\n"
      "36 22 0:32 / /Volumes/my\\040vm rw,nosuid shared:1 master:2 - smbfs //srv/share rw\n"
      "37 22 0:33 / /mnt/a\\011b\\012c\\134d rw - cifs //srv/x rw\n"
      "38 22 0:34 / /Volumes/short\\04 rw - smbfs //srv/y rw\n"
      "no separator here\n"
      "40 22 0:36 / /last rw - tmpfs tmpfs rw";
  std::string entries;
  for (const MountEntry& entry : parseMountInfo(text))
    entries += entry.mountPoint + " " + entry.type + ";";
  EXPECT_EQ(
      entries,
      "/ ext4;/Volumes/my vm smbfs;/mnt/a\tb\nc\\d cifs;/Volumes/short\\04 smbfs;/last tmpfs;");
  std::optional<std::vector<MountEntry>> table = systemHostShareTools().readMountTable();
  ASSERT_TRUE(table.has_value());
  EXPECT_THAT(*table, testing::Contains(testing::Field(&MountEntry::mountPoint, "/")));
}

}  // namespace
}  // namespace tovan::test
