// The life of `run` as the parent sees it: how the machine comes up (cold, restored, or not at
// all), and how the machine's own stops and failures end the helper.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "scenario_fixture.h"

namespace tovan::testing {
namespace {

using ::testing::ElementsAre;

using RunScenario = HelperScenario;

TEST_F(RunScenario, ColdBootRunsUntilTheGuestIsAskedToStop) {
  start();
  waitFor(state("running"));
  send("{\"cmd\":\"stop\"}\n");
  RunOutcome outcome = end(Input::keepOpen);
  EXPECT_THAT(outcome.events, ElementsAre(state("starting"), state("running"), state("stopped")));
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.err, "");
  EXPECT_FALSE(fileExists(statePath()));
}

TEST_F(RunScenario, ASavedStateIsRestoredAndThenDeleted) {
  hibernateOnce();
  start();
  waitFor(state("running"));
  // The guest now runs ahead of the saved state, so the state must already be gone.
  EXPECT_FALSE(fileExists(statePath()));
  send("{\"cmd\":\"stop\"}\n");
  RunOutcome outcome = end(Input::keepOpen);
  EXPECT_THAT(outcome.events, ElementsAre(state("restoring"), state("running"), state("stopped")));
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.err, "");
}

TEST_F(RunScenario, AFailedRestoreDeletesTheStateAndColdBoots) {
  hibernateOnce();
  script("fail restore the saved devices do not match");
  start();
  waitFor(state("running"));
  EXPECT_FALSE(fileExists(statePath()));
  send("{\"cmd\":\"stop\"}\n");
  RunOutcome outcome = end(Input::keepOpen);
  EXPECT_THAT(outcome.events,
              ElementsAre(state("restoring"),
                          log("restore failed (the saved devices do not match); cold-booting"),
                          state("starting"), state("running"), state("stopped")));
  EXPECT_EQ(outcome.status, 0);
}

TEST_F(RunScenario, AStateFileThatIsNotAStateIsReplacedByAColdBoot) {
  writeFile(statePath(), "not a machine");
  start();
  waitFor(state("running"));
  send("{\"cmd\":\"stop\"}\n");
  RunOutcome outcome = end(Input::keepOpen);
  EXPECT_THAT(outcome.events,
              ElementsAre(state("restoring"),
                          log("restore failed (not a saved machine state); cold-booting"),
                          state("starting"), state("running"), state("stopped")));
  EXPECT_FALSE(fileExists(statePath()));
}

TEST_F(RunScenario, AFailedResumeAfterRestoreEndsTheHelperAndKeepsTheState) {
  hibernateOnce();
  const std::string saved = readFileOrEmpty(statePath());
  script("fail resume the vCPUs would not start");
  start();
  RunOutcome outcome = end(Input::keepOpen);
  EXPECT_THAT(outcome.events,
              ElementsAre(state("restoring"),
                          error("resume after restore failed: the vCPUs would not start")));
  EXPECT_EQ(outcome.status, 1);
  // Kept for the next run to try again.
  EXPECT_EQ(readFileOrEmpty(statePath()), saved);
}

TEST_F(RunScenario, AHostThatCannotRestoreColdBootsAndLeavesTheStateAlone) {
  hibernateOnce();
  const std::string saved = readFileOrEmpty(statePath());
  script("host macos-13");
  start();
  waitFor(state("running"));
  send("{\"cmd\":\"stop\"}\n");
  RunOutcome outcome = end(Input::keepOpen);
  EXPECT_THAT(outcome.events, ElementsAre(state("starting"), state("running"), state("stopped")));
  EXPECT_EQ(readFileOrEmpty(statePath()), saved);
}

TEST_F(RunScenario, AFailedStartEndsTheHelperWithStatus1) {
  script("fail start no bootable device");
  start();
  RunOutcome outcome = end(Input::keepOpen);
  EXPECT_THAT(outcome.events,
              ElementsAre(state("starting"), error("start failed: no bootable device")));
  EXPECT_EQ(outcome.status, 1);
  EXPECT_EQ(outcome.err, "");
}

TEST_F(RunScenario, AFailedStartAfterAFailedRestoreFollowsTheRestoreLog) {
  writeFile(statePath(), "");
  script("fail start no bootable device");
  start();
  RunOutcome outcome = end(Input::keepOpen);
  EXPECT_THAT(outcome.events,
              ElementsAre(state("restoring"),
                          log("restore failed (not a saved machine state); cold-booting"),
                          state("starting"), error("start failed: no bootable device")));
  EXPECT_EQ(outcome.status, 1);
}

TEST_F(RunScenario, AConfigurationErrorIsTheOnlyEvent) {
  // The reader is already waiting for commands; the error still ends the helper.
  ASSERT_EQ(::unlink((dir() / "seed.img").c_str()), 0);
  start();
  RunOutcome outcome = end(Input::keepOpen);
  EXPECT_THAT(outcome.events,
              ElementsAre(error("configuration error: cannot open disk image \"" +
                                (dir() / "seed.img") + "\": No such file or directory")));
  EXPECT_EQ(outcome.status, 1);
  EXPECT_EQ(outcome.err, "");
}

TEST_F(RunScenario, AGuestThatPowersOffEndsTheHelperWithStatus0) {
  script("power-off-after 0.1");
  start();
  RunOutcome outcome = end(Input::keepOpen);
  EXPECT_THAT(outcome.events, ElementsAre(state("starting"), state("running"), state("stopped")));
  EXPECT_EQ(outcome.status, 0);
}

TEST_F(RunScenario, AMachineErrorEndsTheHelperWithStatus1) {
  script("error-after 0.1 internal virtualization error");
  start();
  RunOutcome outcome = end(Input::keepOpen);
  EXPECT_THAT(outcome.events,
              ElementsAre(state("starting"), state("running"),
                          error("guest stopped with error: internal virtualization error")));
  EXPECT_EQ(outcome.status, 1);
}

TEST_F(RunScenario, ANetworkDetachIsLoggedAndTheGuestStillObeysALaterStop) {
  script("detach-network-after 0.05 the host's interface went away");
  start();
  waitFor(log("network detached: the host's interface went away"));
  send("{\"cmd\":\"stop\"}\n");
  RunOutcome outcome = end(Input::keepOpen);
  EXPECT_THAT(outcome.events, ElementsAre(state("starting"), state("running"),
                                          log("network detached: the host's interface went away"),
                                          state("stopped")));
  EXPECT_EQ(outcome.status, 0);
}

}  // namespace
}  // namespace tovan::testing
