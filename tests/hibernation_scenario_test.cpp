// Hibernation on command: the state reaches savePath only whole, through the ".part" file, and
// every way it can fail leaves the machine running with its one log line.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "scenario_fixture.h"

namespace tovan::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::StartsWith;

using HibernationScenario = HelperScenario;

constexpr std::string_view kHibernate = "{\"cmd\":\"hibernate\"}\n";
constexpr std::string_view kStop = "{\"cmd\":\"stop\"}\n";

TEST_F(HibernationScenario, CompletesThroughThePartialFileWhichALeftoverNeverBecomes) {
  writeFile(partialPath(), "left over from an attempt that failed");
  start();
  waitFor(state("running"));
  send(kHibernate);
  RunOutcome outcome = end(Input::keepOpen);
  EXPECT_THAT(outcome.events, ElementsAre(state("starting"), state("running"), state("saving"),
                                          state("hibernated")));
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.err, "");
  EXPECT_FALSE(fileExists(partialPath()));
  EXPECT_THAT(readFileOrEmpty(statePath()), ::testing::Not(StartsWith("left over")));

  // The next run takes the state back.
  start();
  waitFor(state("running"));
  send(kStop);
  EXPECT_THAT(end(Input::keepOpen).events,
              ElementsAre(state("restoring"), state("running"), state("stopped")));
}

TEST_F(HibernationScenario, AMachineStillStartingCannotHibernate) {
  script("boot 600");
  start();
  waitFor(state("starting"));
  send(kHibernate);
  waitFor(log("cannot hibernate: VM is not running"));
  send("{\"cmd\":\"kill\"}\n");
  RunOutcome outcome = end(Input::keepOpen);
  EXPECT_THAT(outcome.events,
              ElementsAre(state("starting"), log("cannot hibernate: VM is not running")));
  EXPECT_EQ(outcome.status, 0);
  EXPECT_FALSE(fileExists(statePath()));
}

TEST_F(HibernationScenario, AFailedPauseLeavesTheMachineRunning) {
  writeFile(partialPath(), "left over");
  script("fail pause the guest did not quiesce");
  start();
  waitFor(state("running"));
  send(kHibernate);
  waitFor(log("pause failed: the guest did not quiesce"));
  waitFor(state("running"));
  // The leftover was removed before the pause was tried.
  EXPECT_FALSE(fileExists(partialPath()));
  send(kStop);
  RunOutcome outcome = end(Input::keepOpen);
  EXPECT_THAT(outcome.events, ElementsAre(state("starting"), state("running"), state("saving"),
                                          log("pause failed: the guest did not quiesce"),
                                          state("running"), state("stopped")));
  EXPECT_EQ(outcome.status, 0);
  EXPECT_FALSE(fileExists(statePath()));
}

TEST_F(HibernationScenario, AFailedSaveResumesTheMachine) {
  script("fail save no space left on the volume");
  start();
  waitFor(state("running"));
  send(kHibernate);
  waitFor(log("save failed: no space left on the volume"));
  waitFor(state("running"));
  send(kStop);
  RunOutcome outcome = end(Input::keepOpen);
  EXPECT_THAT(outcome.events, ElementsAre(state("starting"), state("running"), state("saving"),
                                          log("save failed: no space left on the volume"),
                                          state("running"), state("stopped")));
  EXPECT_EQ(outcome.status, 0);
  EXPECT_FALSE(fileExists(statePath()));
}

TEST_F(HibernationScenario, AResumeThatFailsAfterAFailedSaveStillReportsRunning) {
  script("fail save no space left on the volume\nfail resume the vCPUs would not start");
  start();
  waitFor(state("running"));
  send(kHibernate);
  waitFor(log("save failed: no space left on the volume"));
  waitFor(state("running"));
  send("{\"cmd\":\"kill\"}\n");
  RunOutcome outcome = end(Input::keepOpen);
  EXPECT_THAT(outcome.events,
              ElementsAre(state("starting"), state("running"), state("saving"),
                          log("save failed: no space left on the volume"), state("running")));
  EXPECT_EQ(outcome.status, 0);
}

TEST_F(HibernationScenario, AStateThatCannotBeMovedIntoPlaceStaysAtThePartialPath) {
  start();
  waitFor(state("running"));
  // A directory with something in it stands in for an entry that cannot be replaced.
  ASSERT_EQ(::mkdir(statePath().c_str(), 0755), 0);
  writeFile(statePath() + "/keep", "");
  send(kHibernate);
  const std::string failure = "finalize snapshot failed: cannot move \"" + partialPath() +
                              "\" to \"" + statePath() + "\": Is a directory";
  waitFor(log(failure));
  waitFor(state("running"));
  // The new state is complete where it was written.
  ASSERT_EQ(::unlink((statePath() + "/keep").c_str()), 0);
  ASSERT_EQ(::rmdir(statePath().c_str()), 0);
  ASSERT_EQ(::rename(partialPath().c_str(), statePath().c_str()), 0);
  send(kStop);
  RunOutcome outcome = end(Input::keepOpen);
  EXPECT_THAT(outcome.events, ElementsAre(state("starting"), state("running"), state("saving"),
                                          log(failure), state("running"), state("stopped")));
  EXPECT_EQ(outcome.status, 0);

  start();
  waitFor(state("running"));
  send(kStop);
  EXPECT_THAT(end(Input::keepOpen).events,
              ElementsAre(state("restoring"), state("running"), state("stopped")));
}

TEST_F(HibernationScenario, AHostBelowMacOS14RefusesWithAnErrorAndRunsOn) {
  script("host macos-13");
  start();
  waitFor(state("running"));
  send(kHibernate);
  waitFor(error("hibernation requires macOS 14+"));
  send(kStop);
  RunOutcome outcome = end(Input::keepOpen);
  EXPECT_THAT(outcome.events,
              ElementsAre(state("starting"), state("running"),
                          error("hibernation requires macOS 14+"), state("stopped")));
  EXPECT_EQ(outcome.status, 0);
  EXPECT_FALSE(fileExists(statePath()));
  EXPECT_FALSE(fileExists(partialPath()));
}

}  // namespace
}  // namespace tovan::testing
