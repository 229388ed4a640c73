// The host-share unmount ladder against a scripted mount table and a recording runner, and the
// decoding of Linux's mount table.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "control/host_share.h"

namespace tovan {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

using Argv = std::vector<std::string>;

MATCHER_P2(Mount, point, type, "") { return arg.mountPoint == point && arg.type == type; }

// A mount table that loses the share after a given number of program runs, and a runner that
// remembers every argument vector and bound it was given.
class HostShareTest : public ::testing::Test {
 protected:
  HostShareTools tools() {
    return {[this]() -> std::optional<std::vector<MountEntry>> {
              ++tableReads_;
              if (!tableReadable_) return std::nullopt;
              std::vector<MountEntry> table = otherMounts_;
              if (runs_.size() < runsUntilGone_) table.push_back(share_);
              return table;
            },
            [this](const Argv& argv, double seconds) {
              runs_.push_back(argv);
              bounds_.push_back(seconds);
            }};
  }

  MountEntry share_{"/Volumes/build01", "smbfs"};
  std::vector<MountEntry> otherMounts_{{"/", "apfs"}, {"/Volumes/Backup", "smbfs"}};
  size_t runsUntilGone_ = 0;  // 0: the share is not mounted at all
  bool tableReadable_ = true;
  int tableReads_ = 0;
  std::vector<Argv> runs_;
  std::vector<double> bounds_;
};

TEST_F(HostShareTest, NothingMountedAtTheShareMeansDoneWithoutRunningAnything) {
  EXPECT_TRUE(unmountHostShare("build01", tools()));
  EXPECT_THAT(runs_, IsEmpty());
  EXPECT_EQ(tableReads_, 1);
}

TEST_F(HostShareTest, OnlyAnSmbMountAtExactlyTheSharePathCounts) {
  // Given mounts that resemble the share but differ in type or path, none needs unmounting.
  runsUntilGone_ = 99;
  for (const MountEntry& lookalike : std::vector<MountEntry>{{"/Volumes/build01", "apfs"},
                                                             {"/Volumes/build01", "SMBFS"},
                                                             {"/Volumes/build01 1", "smbfs"},
                                                             {"/Volumes/build01/", "smbfs"},
                                                             {"/Volumes/build0", "smbfs"},
                                                             {"/volumes/build01", "smbfs"}}) {
    share_ = lookalike;
    EXPECT_TRUE(unmountHostShare("build01", tools())) << lookalike.mountPoint << lookalike.type;
  }
  EXPECT_THAT(runs_, IsEmpty());

  share_ = {"/Volumes/build01", "smbfs"};
  EXPECT_TRUE(isSmbMounted("/Volumes/build01", tools()));
  EXPECT_FALSE(isSmbMounted("/Volumes/build01/", tools()));
}

TEST_F(HostShareTest, AMountTableThatCannotBeReadHoldsNoShare) {
  runsUntilGone_ = 99;
  tableReadable_ = false;
  EXPECT_FALSE(isSmbMounted("/Volumes/build01", tools()));
  EXPECT_TRUE(unmountHostShare("build01", tools()));
  EXPECT_THAT(runs_, IsEmpty());
}

TEST_F(HostShareTest, APoliteUnmountThatWorksIsTheOnlyRun) {
  runsUntilGone_ = 1;
  EXPECT_TRUE(unmountHostShare("build01", tools()));
  EXPECT_THAT(runs_, ElementsAre(Argv{"/usr/sbin/diskutil", "unmount", "/Volumes/build01"}));
  EXPECT_THAT(bounds_, ElementsAre(3.0));
  EXPECT_EQ(tableReads_, 2);
}

TEST_F(HostShareTest, TheForcedDiskutilRunsWhenThePoliteOneLeavesTheShare) {
  runsUntilGone_ = 2;
  EXPECT_TRUE(unmountHostShare("build01", tools()));
  EXPECT_THAT(runs_,
              ElementsAre(Argv{"/usr/sbin/diskutil", "unmount", "/Volumes/build01"},
                          Argv{"/usr/sbin/diskutil", "unmount", "force", "/Volumes/build01"}));
}

TEST_F(HostShareTest, AShareThatSurvivesAllThreeAttemptsIsReportedAsStillMounted) {
  // The name is used as it is: a blank stays a blank, no escaping, no trailing slash.
  share_ = {"/Volumes/my vm", "smbfs"};
  runsUntilGone_ = 99;
  EXPECT_FALSE(unmountHostShare("my vm", tools()));
  EXPECT_THAT(runs_, ElementsAre(Argv{"/usr/sbin/diskutil", "unmount", "/Volumes/my vm"},
                                 Argv{"/usr/sbin/diskutil", "unmount", "force", "/Volumes/my vm"},
                                 Argv{"/sbin/umount", "-f", "/Volumes/my vm"}));
  EXPECT_THAT(bounds_, ElementsAre(3.0, 3.0, 3.0));
  EXPECT_EQ(tableReads_, 4);
}

TEST_F(HostShareTest, TheLastForcedUnmountCanStillSucceed) {
  runsUntilGone_ = 3;
  EXPECT_TRUE(unmountHostShare("build01", tools()));
  EXPECT_EQ(runs_.size(), 3u);
}

TEST(ParseMountInfo, TakesTheMountPointAndTheTypeAfterTheSeparator) {
  // Lines with no optional fields, with several, and with escaped blanks, tabs, newlines and
  // backslashes in the mount point.
  const std::string text =
      "22 1 0:21 / / rw,relatime - ext4 /dev/sda1 rw\n"
      "36 22 0:32 / /Volumes/my\\040vm rw,nosuid shared:1 master:2 - smbfs //srv/share rw\n"
      "37 22 0:33 / /mnt/a\\011b\\012c\\134d rw - cifs //srv/x rw\n"
      "38 22 0:34 / /Volumes/plain\\04 rw - smbfs //srv/y rw\n"
      "broken line without separator\n"
      "39 22 0:35 / /no/type rw -\n"
      "40 22 0:36 / /last rw - tmpfs tmpfs rw";
  EXPECT_THAT(parseMountInfo(text),
              ElementsAre(Mount("/", "ext4"), Mount("/Volumes/my vm", "smbfs"),
                          Mount("/mnt/a\tb\nc\\d", "cifs"), Mount("/Volumes/plain\\04", "smbfs"),
                          Mount("/last", "tmpfs")));
}

TEST(SystemMountTable, IsReadableAndHoldsTheRootFileSystem) {
  std::optional<std::vector<MountEntry>> table = systemHostShareTools().readMountTable();
  ASSERT_TRUE(table.has_value());
  EXPECT_THAT(*table, ::testing::Contains(::testing::Field(&MountEntry::mountPoint, "/")));
  EXPECT_FALSE(isSmbMounted("/"));
}

}  // namespace
}  // namespace tovan
