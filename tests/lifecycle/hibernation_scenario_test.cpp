// Hibernation and restore across runs: the state reaches savePath whole, through ".part", and is
// restored once; a freeze that fails leaves the machine running, with its one log line.
#include <sys/stat.h>

#include <cstdio>

#include "support/scenario.h"

namespace tovan::test {
namespace {

using testing::ElementsAre;
using HibernationScenario = HelperScenario;

// One machine through its runs. Input that ends at once finds the start or the restore in
// flight; the freeze follows once the machine runs. Nothing is mounted at "/Volumes/my vm".
TEST_F(HibernationScenario, TheStateGoesThroughThePartialFileAndIsRestoredOnceByTheNextRun) {
  shareHost("my vm");
  // Below macOS 14 a state is neither restored nor made; the end of input asks for a stop.
  writeFile(statePath(), "state from another host");
  const std::string refused = error("hibernation requires macOS 14+");
  EXPECT_THAT(play("host macos-13", {{kRunning, kHibernate}, {refused, kEndOfInput}}),
              ElementsAre(kStarting, kRunning, refused, kStopped, exited(0)));
  EXPECT_EQ(readFileOrEmpty(statePath()), "state from another host");

  // A state that cannot be restored is deleted for a cold boot. A leftover partial file goes
  // before the pause is tried; a failed pause leaves the machine running, then stopped.
  writeFile(partialPath(), "left over from an attempt that failed");
  EXPECT_THAT(
      play("fail pause it did not quiesce", {{kRunning, kEndOfInput}}),
      ElementsAre(kRestoring,
                  log("restore failed (saved state is not in this helper's format); cold-booting"),
                  kStarting, kRunning, kSaving, log("pause failed: it did not quiesce"), kRunning,
                  kStopped, exited(0)));
  EXPECT_FALSE(fileExists(partialPath()) || fileExists(statePath()));

  // One script for the runs below: the disk is the script, and a saved state holds to its disk.
  const std::string script = "boot 0.2\nrestore 0.2\ntime-scale 0.1";
  EXPECT_THAT(play(script, {{kStarting, kEndOfInput}}),
              ElementsAre(kStarting, kRunning, kSaving, kHibernated, exited(0)));
  // The restored guest runs ahead of the state, so the state is gone by then.
  EXPECT_THAT(play(script, {{"", kEndOfInput},
                            {kRunning, {}, [&] { EXPECT_FALSE(fileExists(statePath())); }}}),
              ElementsAre(kRestoring, kRunning, kSaving, kHibernated, exited(0)));
  EXPECT_FALSE(fileExists(partialPath()));
}

// A state resumes only onto its own machine and disk, and whole; any other is deleted for a cold
// boot. One the host failed to restore is kept: put back when the cold boot fails too, deleted
// once the machine runs without it. Each row hibernates a fresh machine, does its harm and runs
// it again.
TEST_F(HibernationScenario, AStateResumesOnlyOntoItsOwnMachineAndDiskWholeAndOutlivesHostFaults) {
  auto flipByte = [&](bool inHeader) {
    std::string bytes = readFileOrEmpty(statePath());
    bytes[inHeader ? 40 : bytes.size() - 3] ^= 0x20;  // 40: within the header's JSON
    writeFile(statePath(), bytes);
  };
  const auto refused = [](std::string reason) {
    return std::vector{kRestoring, log("restore failed (" + reason + "); cold-booting"),
                       kStarting,  kRunning,
                       kStopped,   exited(0)};
  };
  const std::string outOfMemory = "cannot allocate the guest's memory";
  struct Row {
    std::string harm;
    std::string guestWrites;  // to its disk before it hibernates: the next run's script
    std::function<void()> after;
    std::vector<std::string> next;
    bool stateAfter;  // still at the save path, as saved
  } rows[] = {
      {"none", "", {}, {kRestoring, kRunning, kStopped, exited(0)}, false},
      {"a byte flipped in the stream", "", [&] { flipByte(false); },
       refused("saved state is damaged (checksum mismatch)"), false},
      {"a byte flipped in the header", "", [&] { flipByte(true); },
       refused("saved state is damaged (unreadable header)"), false},
      {"a byte more",
       "",
       [&] { writeFile(statePath(), readFileOrEmpty(statePath()) + "x"); },
       {},
       false},
      {"the disk written since", "", [&] { writeFile(path("disk"), "# the guest's new file\n"); },
       refused("the disk changed after the state was saved"), false},
      {"another machine", "", [&] { std::filesystem::remove(path("machine_identifier")); },
       refused("saved state is for another machine"), false},
      {"the old format", "", [&] { writeFile(statePath(), "tovan-sim machine state 1\n"); },
       refused("saved state is not in this helper's format"), false},
      {"a host that cannot restore",
       "fail restore " + outOfMemory,
       {},
       refused(outOfMemory),
       false},
      {"a host that cannot restore nor boot",
       "fail restore " + outOfMemory + "\nfail start " + outOfMemory,
       {},
       {kRestoring, log("restore failed (" + outOfMemory + "); cold-booting"), kStarting,
        error("start failed: " + outOfMemory), exited(1)},
       true},
      {"a state that cannot be taken out of the way",
       "",
       [&] { std::filesystem::create_directories(statePath() + ".consumed/in-the-way"); },
       {kRestoring,
        error("resume after restore failed: cannot move \"" + statePath() + "\" to \"" +
              statePath() + ".consumed\": Is a directory"),
        exited(1)},
       true},
      {"a resume that fails",
       "fail resume the vCPUs would not start",
       {},
       {kRestoring, error("resume after restore failed: the vCPUs would not start"), exited(1)},
       true},
  };
  for (Row& row : rows) {
    SCOPED_TRACE(row.harm);
    std::filesystem::remove(path("disk"));
    auto guestWrites = [&] { writeFile(path("disk"), row.guestWrites); };
    ASSERT_THAT(play("", {{kRunning, kHibernate, guestWrites}}),
                ElementsAre(kStarting, kRunning, kSaving, kHibernated, exited(0)));
    const std::string saved = readFileOrEmpty(statePath());
    if (row.after) row.after();
    if (row.next.empty()) {  // the size the header gives is one byte short of the file's
      row.next = refused("saved state is damaged (" + std::to_string(saved.size() + 1) +
                         " bytes where " + std::to_string(saved.size()) + " were written)");
    }
    const bool runs = std::find(row.next.begin(), row.next.end(), kRunning) != row.next.end();
    EXPECT_THAT(play(readFileOrEmpty(path("disk")),
                     runs ? std::vector<Say>{{kRunning, kStop}} : std::vector<Say>{}),
                testing::ElementsAreArray(row.next));
    EXPECT_EQ(readFileOrEmpty(statePath()), row.stateAfter ? saved : "");
    for (const char* beside : {".part", ".consumed", ".aside"}) {
      EXPECT_FALSE(std::filesystem::is_regular_file(statePath() + beside)) << beside;
    }
    std::filesystem::remove(statePath());
    std::filesystem::remove_all(statePath() + ".consumed");
  }
}

// A state that cannot be moved into place is stale once the guest runs again: it goes, and the
// next run cold-boots.
TEST_F(HibernationScenario, AStateThatCannotBeMovedIntoPlaceIsRemovedAndTheGuestRunsOn) {
  // A directory with something in it stands in for an entry that cannot be replaced.
  auto block = [&] {
    ASSERT_EQ(::mkdir(statePath().c_str(), 0755), 0);
    writeFile(statePath() + "/keep", "");
  };
  const std::string failure = "finalize snapshot failed: cannot move \"" + partialPath() +
                              "\" to \"" + statePath() + "\": Is a directory";
  EXPECT_THAT(
      play("", {{kRunning, kHibernate, block}, {kRunning, kStop}}),
      ElementsAre(kStarting, kRunning, kSaving, log(failure), kRunning, kStopped, exited(0)));
  EXPECT_FALSE(fileExists(partialPath()));
  std::filesystem::remove_all(statePath());
  EXPECT_THAT(play("", {{kRunning, kStop}}), ElementsAre(kStarting, kRunning, kStopped, exited(0)));
}

}  // namespace
}  // namespace tovan::test
