// How `run` brings the machine up (cold, restored, or not at all), and how the machine's own
// stops and failures end the helper.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "support/scenario.h"

namespace tovan::test {
namespace {

using testing::ElementsAre;
using RunScenario = HelperScenario;

TEST_F(RunScenario, ColdBootRunsUntilTheGuestIsAskedToStop) {
  RunOutcome run = play({{state("running"), kStop}}, Input::keepOpen);
  EXPECT_THAT(run.events, ElementsAre(state("starting"), state("running"), state("stopped")));
  EXPECT_EQ(run.status, 0);
}

// One helper per machine: a second one on a running machine ends at once, naming the holder,
// and touches nothing.
TEST_F(RunScenario, ASecondHelperOnARunningMachineEndsAtOnceAndTouchesNothing) {
  Finished second;
  std::map<std::string, std::string> before;
  RunOutcome run =
      play({{state("running"), kStop,
             [&] {
               before = files();
               second = runProcess({TOVAN_HELPER_SIM, "run", "--config", path("helper.json")});
               EXPECT_EQ(files(), before);
             }}},
           Input::keepOpen);
  EXPECT_THAT(run.events, ElementsAre(state("starting"), state("running"), state("stopped")));
  EXPECT_EQ(second.status, 1);
  EXPECT_EQ(second.out,
            "{\"event\":\"error\",\"message\":\"machine already running: another "
            "helper (pid " +
                std::to_string(helperPid()) + ") holds \\\"" + statePath() + ".lock\\\"\"}\n");
  EXPECT_EQ(second.err, "");
}

TEST_F(RunScenario, AStateFileThatCannotBeRestoredIsDeletedAndTheMachineColdBoots) {
  writeFile(statePath(), "not a machine");
  RunOutcome run = play({{state("running"), kStop}}, Input::keepOpen);
  EXPECT_THAT(run.events, ElementsAre(state("restoring"),
                                      log("restore failed (not a saved machine state); "
                                          "cold-booting"),
                                      state("starting"), state("running"), state("stopped")));
  EXPECT_EQ(run.status, 0);
  EXPECT_FALSE(fileExists(statePath()));
}

TEST_F(RunScenario, AFailedResumeAfterRestoreEndsTheHelperAndKeepsTheStateForTheNextRun) {
  hibernateOnce();
  const std::string saved = readFileOrEmpty(statePath());
  script("fail resume the vCPUs would not start");
  RunOutcome run = play({}, Input::keepOpen);
  EXPECT_THAT(run.events, ElementsAre(state("restoring"), error("resume after restore failed: "
                                                                "the vCPUs would not start")));
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(readFileOrEmpty(statePath()), saved);
}

TEST_F(RunScenario, AFailedStartEndsTheHelperWithStatus1) {
  script("fail start no bootable device");
  RunOutcome run = play({}, Input::keepOpen);
  EXPECT_THAT(run.events,
              ElementsAre(state("starting"), error("start failed: no bootable device")));
  EXPECT_EQ(run.status, 1);
}

TEST_F(RunScenario, AConfigurationErrorIsTheOnlyEvent) {
  ASSERT_EQ(::unlink(path("seed.img").c_str()), 0);
  RunOutcome run = play({}, Input::keepOpen);
  EXPECT_THAT(run.events, ElementsAre(error("configuration error: cannot open disk image \"" +
                                            path("seed.img") + "\": No such file or directory")));
  EXPECT_EQ(run.status, 1);
}

TEST_F(RunScenario, AGuestThatPowersOffEndsTheHelperWithStatus0) {
  script("power-off-after 0.1");
  RunOutcome run = play({}, Input::keepOpen);
  EXPECT_THAT(run.events, ElementsAre(state("starting"), state("running"), state("stopped")));
  EXPECT_EQ(run.status, 0);
}

TEST_F(RunScenario, AMachineErrorEndsTheHelperWithStatus1) {
  script("error-after 0.1 internal virtualization error");
  RunOutcome run = play({}, Input::keepOpen);
  EXPECT_THAT(run.events,
              ElementsAre(state("starting"), state("running"),
                          error("guest stopped with error: internal virtualization error")));
  EXPECT_EQ(run.status, 1);
}

TEST_F(RunScenario, ANetworkDetachIsLoggedAndALaterStopIsStillObeyed) {
  script("detach-network-after 0.05 the interface went away");
  RunOutcome run =
      play({{log("network detached: the interface went away"), kStop}}, Input::keepOpen);
  EXPECT_THAT(run.events,
              ElementsAre(state("starting"), state("running"),
                          log("network detached: the interface went away"), state("stopped")));
  EXPECT_EQ(run.status, 0);
}

}  // namespace
}  // namespace tovan::test
