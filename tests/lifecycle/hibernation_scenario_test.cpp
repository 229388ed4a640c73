// Hibernation and restore across runs: the state reaches savePath whole, through ".part", and is
// restored once; a freeze that fails leaves the machine running, with its one log line.
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
  auto flipByte = [&] {
    std::string bytes = readFileOrEmpty(statePath());
    bytes[bytes.size() - 3] ^= 0x20;
    writeFile(statePath(), bytes);
  };
  auto addByte = [&] { writeFile(statePath(), readFileOrEmpty(statePath()) + "x"); };
  auto writeDisk = [&] { writeFile(path("disk"), "# the guest's new file\n"); };
  auto otherMachine = [&] { std::filesystem::remove(path("machine_identifier")); };
  auto blockMove = [&] { std::filesystem::create_directories(statePath() + ".consumed/x"); };
  const auto refused = [](const std::string& reason) {
    const std::string failed = log("restore failed (" + reason + "); cold-booting");
    return std::vector{kRestoring, failed, kStarting, kRunning, kStopped, exited(0)};
  };
  const auto resumeFails = [](const std::string& reason) {
    return std::vector{kRestoring, error("resume after restore failed: " + reason), exited(1)};
  };
  const std::string noMemory = "out of memory", noRestore = "fail restore " + noMemory;
  const std::vector<std::string> bootFails = {
      kRestoring, log("restore failed (" + noMemory + "); cold-booting"), kStarting,
      error("start failed: " + noMemory), exited(1)};
  const std::string notMoved =
      "cannot move \"" + statePath() + "\" to \"" + statePath() + ".consumed\": Is a directory";
  struct Row {
    std::string harm;
    std::string guestWrites;  // to its disk before it hibernates: the next run's script
    std::function<void()> after;
    std::vector<std::string> next;  // empty: refused for its size
    bool stateAfter;                // still at the save path, as saved
  } rows[] = {
      {"none", "", nullptr, {kRestoring, kRunning, kStopped, exited(0)}, false},
      {"byte flipped", "", flipByte, refused("saved state is damaged (checksum mismatch)"), false},
      {"byte added", "", addByte, {}, false},
      {"disk written", "", writeDisk, refused("the disk changed after the state was saved"), false},
      {"other machine", "", otherMachine, refused("saved state is for another machine"), false},
      {"host cannot restore", noRestore, nullptr, refused(noMemory), false},
      {"host cannot boot", noRestore + "\nfail start " + noMemory, nullptr, bootFails, true},
      {"state in the way", "", blockMove, resumeFails(notMoved), true},
      {"resume fails", "fail resume no vCPUs", nullptr, resumeFails("no vCPUs"), true},
  };
  for (Row& row : rows) {
    SCOPED_TRACE(row.harm);
    std::filesystem::remove(path("disk"));
    auto guestWrites = [&] { writeFile(path("disk"), row.guestWrites); };
    ASSERT_THAT(play("", {{kRunning, kHibernate, guestWrites}}),
                ElementsAre(kStarting, kRunning, kSaving, kHibernated, exited(0)));
    const std::string saved = readFileOrEmpty(statePath());
    if (row.after) row.after();
    if (row.next.empty()) {  // the header's size is one byte short of the file's
      row.next = refused("saved state is damaged (" + std::to_string(saved.size() + 1) +
                         " bytes where " + std::to_string(saved.size()) + " were written)");
    }
    const bool runs = std::ranges::count(row.next, kRunning) > 0;
    EXPECT_THAT(play(readFileOrEmpty(path("disk")), std::vector<Say>(runs, {kRunning, kStop})),
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
  auto block = [&] { std::filesystem::create_directories(statePath() + "/keep"); };
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
