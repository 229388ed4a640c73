// The host-share unmount ladder against a scripted mount table and a recording runner, and the
// decoding of Linux's mount table.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "control/host_share.h"

namespace tovan {
namespace {

using testing::ElementsAre;
using testing::IsEmpty;
using Argv = std::vector<std::string>;

// A mount table that holds `share_` until `runsUntilGone_` programs have run, among other
// mounts, and a runner that remembers what it was asked to run.
class HostShareTest : public testing::Test {
 protected:
  HostShareTools tools() {
    return {[this]() -> std::optional<std::vector<MountEntry>> {
              ++tableReads_;
              std::vector<MountEntry> table = {{"/", "apfs"}, {"/Volumes/Backup", "smbfs"}};
              if (runs_.size() < runsUntilGone_) table.push_back(share_);
              return table;
            },
            [this](const Argv& argv, double seconds) {
              runs_.push_back(argv);
              EXPECT_EQ(seconds, 3.0);
            }};
  }

  MountEntry share_{"/Volumes/my vm", "smbfs"};
  size_t runsUntilGone_ = 99;
  int tableReads_ = 0;
  std::vector<Argv> runs_;
};

TEST_F(HostShareTest, OnlyAnSmbMountAtExactlyTheSharePathNeedsUnmounting) {
  runsUntilGone_ = 0;
  EXPECT_TRUE(unmountHostShare("my vm", tools()));
  runsUntilGone_ = 99;
  for (const MountEntry& lookalike : std::vector<MountEntry>{{"/Volumes/my vm", "apfs"},
                                                             {"/Volumes/my vm", "SMBFS"},
                                                             {"/Volumes/my vm 1", "smbfs"},
                                                             {"/Volumes/my vm/", "smbfs"},
                                                             {"/Volumes/my\\040vm", "smbfs"}}) {
    share_ = lookalike;
    EXPECT_TRUE(unmountHostShare("my vm", tools())) << lookalike.mountPoint << lookalike.type;
  }
  EXPECT_THAT(runs_, IsEmpty());
  EXPECT_EQ(tableReads_, 6);

  HostShareTools unreadable = tools();
  unreadable.readMountTable = [] { return std::nullopt; };
  EXPECT_TRUE(unmountHostShare("my vm", unreadable));
  EXPECT_THAT(runs_, IsEmpty());
}

TEST_F(HostShareTest, EachAttemptIsFollowedByAFreshLookAndTheLadderStopsOnceTheShareIsGone) {
  const Argv polite = {"/usr/sbin/diskutil", "unmount", "/Volumes/my vm"};
  const Argv forced = {"/usr/sbin/diskutil", "unmount", "force", "/Volumes/my vm"};
  const Argv umount = {"/sbin/umount", "-f", "/Volumes/my vm"};
  runsUntilGone_ = 1;
  EXPECT_TRUE(unmountHostShare("my vm", tools()));
  EXPECT_THAT(runs_, ElementsAre(polite));
  EXPECT_EQ(tableReads_, 2);

  runs_.clear();
  runsUntilGone_ = 3;
  EXPECT_TRUE(unmountHostShare("my vm", tools()));
  EXPECT_THAT(runs_, ElementsAre(polite, forced, umount));

  runs_.clear();
  tableReads_ = 0;
  runsUntilGone_ = 99;
  EXPECT_FALSE(unmountHostShare("my vm", tools()));
  EXPECT_THAT(runs_, ElementsAre(polite, forced, umount));
  EXPECT_EQ(tableReads_, 4);
}

TEST(ParseMountInfo, TakesTheUnescapedMountPointAndTheTypeAfterTheSeparator) {
  const std::string text =
      "22 1 0:21 / / rw,relatime - ext4 /dev/sda1 rw\n"
      "36 22 0:32 / /Volumes/my\\040vm rw,nosuid shared:1 master:2 - smbfs //srv/share rw\n"
      "37 22 0:33 / /mnt/a\\011b\\012c\\134d rw - cifs //srv/x rw\n"
      "38 22 0:34 / /Volumes/short\\04 rw - smbfs //srv/y rw\n"
      "no separator here\n"
      "40 22 0:36 / /last rw - tmpfs tmpfs rw";
  std::vector<std::pair<std::string, std::string>> entries;
  for (const MountEntry& entry : parseMountInfo(text))
    entries.emplace_back(entry.mountPoint, entry.type);
  EXPECT_THAT(entries,
              ElementsAre(std::pair("/", "ext4"), std::pair("/Volumes/my vm", "smbfs"),
                          std::pair("/mnt/a\tb\nc\\d", "cifs"),
                          std::pair("/Volumes/short\\04", "smbfs"), std::pair("/last", "tmpfs")));
  // The host's own table is readable and holds the root.
  std::optional<std::vector<MountEntry>> table = systemHostShareTools().readMountTable();
  ASSERT_TRUE(table.has_value());
  EXPECT_THAT(*table, testing::Contains(testing::Field(&MountEntry::mountPoint, "/")));
}

}  // namespace
}  // namespace tovan
