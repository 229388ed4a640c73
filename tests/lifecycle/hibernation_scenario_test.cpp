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
      ElementsAre(kRestoring, log("restore failed (not a saved machine state); cold-booting"),
                  kStarting, kRunning, kSaving, log("pause failed: it did not quiesce"), kRunning,
                  kStopped, exited(0)));
  EXPECT_FALSE(fileExists(partialPath()) || fileExists(statePath()));

  EXPECT_THAT(play("boot 0.2\ntime-scale 0.1", {{"", kEndOfInput}}),
              ElementsAre(kStarting, kRunning, kSaving, kHibernated, exited(0)));
  const std::string saved = readFileOrEmpty(statePath());
  // A failed resume ends the helper and keeps the state for the next run.
  EXPECT_THAT(
      play("fail resume the vCPUs would not start"),
      ElementsAre(kRestoring, error("resume after restore failed: the vCPUs would not start"),
                  exited(1)));
  EXPECT_EQ(readFileOrEmpty(statePath()), saved);
  EXPECT_THAT(play("restore 0.2\ntime-scale 0.1", {{"", kEndOfInput}}),
              ElementsAre(kRestoring, kRunning, kSaving, kHibernated, exited(0)));
  // The restored guest runs ahead of the state, so the state is gone by then.
  EXPECT_THAT(play("", {{kRunning, kHibernate, [&] { EXPECT_FALSE(fileExists(statePath())); }}}),
              ElementsAre(kRestoring, kRunning, kSaving, kHibernated, exited(0)));
  EXPECT_FALSE(fileExists(partialPath()));
}

TEST_F(HibernationScenario, AStateThatCannotBeMovedIntoPlaceStaysCompleteAtThePartialPath) {
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
  std::filesystem::remove_all(statePath());
  ASSERT_EQ(std::rename(partialPath().c_str(), statePath().c_str()), 0);
  EXPECT_THAT(play("", {{kRunning, kStop}}),
              ElementsAre(kRestoring, kRunning, kStopped, exited(0)));
}

}  // namespace
}  // namespace tovan::test
