// The parent's commands on standard input, and the wind-down when that input ends. Scripts
// whose helper sits out its waits scale its sleeps down, so no test waits the real 120 + 20 s,
// yet the scaled grace stays long beside the guest's own delays.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "scenario_fixture.h"

namespace tovan::testing {
namespace {

using ::testing::ElementsAre;
using CommandScenario = HelperScenario;

TEST_F(CommandScenario, WhileStartingStopAndHibernateAreLoggedAndKillEndsAtOnce) {
  script("boot 600");
  RunOutcome run = play({{state("starting"), kStop},
                         {log("stop requested before VM reached running state"), kHibernate},
                         {log("cannot hibernate: VM is not running"), kKill}},
                        Input::keepOpen);
  EXPECT_THAT(run.events,
              ElementsAre(state("starting"), log("stop requested before VM reached running state"),
                          log("cannot hibernate: VM is not running")));
  EXPECT_EQ(run.status, 0);
}

TEST_F(CommandScenario, AFailedStopRequestIsLoggedAndTheHelperRunsOn) {
  script("fail stop-request the guest has no power button");
  RunOutcome run = play({{state("running"), kStop},
                         {log("requestStop failed: the guest has no power button"), kKill}},
                        Input::keepOpen);
  EXPECT_THAT(run.events, ElementsAre(state("starting"), state("running"),
                                      log("requestStop failed: the guest has no power button")));
  EXPECT_EQ(run.status, 0);
}

TEST_F(CommandScenario, JunkLinesAreIgnoredAndTheNextCommandIsObeyed) {
  RunOutcome run = play({{state("running"),
                          "\nstop\n[\"stop\"]\n{}\n{\"cmd\":1}\n{\"cmd\":\"Stop\"}\n"
                          "{\"cmd\":\"hibernate\"\n{\"cmd\":\"reboot\"}\n"
                          "{\"cmd\":\"stop\",\"reason\":\"user\"}\n"}},
                        Input::keepOpen);
  EXPECT_THAT(run.events, ElementsAre(state("starting"), state("running"), state("stopped")));
  EXPECT_EQ(run.status, 0);
}

TEST_F(CommandScenario, ALastLineWithoutALineFeedIsObeyed) {
  // Were the kill dropped, the end of input would hibernate the machine.
  RunOutcome run = play({{state("running"), "{\"cmd\":\"kill\"}"}}, Input::closeInput);
  EXPECT_THAT(run.events, ElementsAre(state("starting"), state("running")));
  EXPECT_EQ(run.status, 0);
  EXPECT_FALSE(fileExists(statePath()));
}

TEST_F(CommandScenario, EndOfInputFreezesTheMachineWithOrWithoutAHostShare) {
  // Nothing is mounted at "/Volumes/my vm" here, so the unmount has nothing to say.
  for (bool isolated : {true, false}) {
    share(isolated, "my vm");
    RunOutcome run = play({{state("running"), ""}}, Input::closeInput);
    EXPECT_THAT(run.events, ElementsAre(state("starting"), state("running"), state("saving"),
                                        state("hibernated")));
    EXPECT_EQ(run.status, 0);
    EXPECT_TRUE(fileExists(statePath()));
    EXPECT_FALSE(fileExists(partialPath()));
    std::remove(statePath().c_str());
  }
}

TEST_F(CommandScenario, EndOfInputDuringAStartOrRestoreFreezesTheMachineOnceItRuns) {
  // Input that is empty from the start queues the freeze right behind the boot, so it always
  // finds the start in flight; the freeze follows as soon as the machine runs.
  script("boot 0.2\ntime-scale 0.1");
  RunOutcome run = play({}, Input::closeInput);
  EXPECT_THAT(run.events, ElementsAre(state("starting"), state("running"), state("saving"),
                                      state("hibernated")));
  EXPECT_EQ(run.status, 0);
  EXPECT_TRUE(fileExists(statePath()));

  // A restored machine must not be lost either: its saved state is deleted once it runs.
  script("restore 0.2\ntime-scale 0.1");
  run = play({}, Input::closeInput);
  EXPECT_THAT(run.events, ElementsAre(state("restoring"), state("running"), state("saving"),
                                      state("hibernated")));
  EXPECT_EQ(run.status, 0);
  EXPECT_TRUE(fileExists(statePath()));
  EXPECT_FALSE(fileExists(partialPath()));
}

TEST_F(CommandScenario, TheWaitForABusyMachineIsBounded) {
  script("boot 600\ntime-scale 0.01");
  RunOutcome run = play({}, Input::closeInput);
  EXPECT_THAT(run.events, ElementsAre(state("starting")));
  EXPECT_EQ(run.status, 0);
}

TEST_F(CommandScenario, EndOfInputBelowMacOS14AsksTheGuestToStop) {
  script("host macos-13");
  RunOutcome run = play({{state("running"), ""}}, Input::closeInput);
  EXPECT_THAT(run.events, ElementsAre(state("starting"), state("running"), state("stopped")));
  EXPECT_EQ(run.status, 0);

  // A guest that ignores the request is left to the grace period.
  script("host macos-13\nstop-response never\ntime-scale 0.01");
  run = play({{state("running"), ""}}, Input::closeInput);
  EXPECT_THAT(run.events, ElementsAre(state("starting"), state("running")));
  EXPECT_EQ(run.status, 0);
}

TEST_F(CommandScenario, EndOfInputWithAFailedPauseStopsTheMachineOnceItRunsAgain) {
  writeFile(partialPath(), "left over");
  script("fail pause the guest did not quiesce");
  RunOutcome run = play({{state("running"), ""}}, Input::closeInput);
  EXPECT_THAT(run.events, ElementsAre(state("starting"), state("running"), state("saving"),
                                      log("pause failed: the guest did not quiesce"),
                                      state("running"), state("stopped")));
  EXPECT_EQ(run.status, 0);
  EXPECT_FALSE(fileExists(partialPath()));  // removed before the pause was tried
  EXPECT_FALSE(fileExists(statePath()));
}

TEST_F(CommandScenario, EndOfInputWithAFailedSaveAsksForTheStopBeforeTheResumeCompletes) {
  // The machine cannot take the stop while it resumes; the request is dropped without a word
  // and the helper ends after its grace.
  script("fail save no space left\ntime-scale 0.05");
  RunOutcome run = play({{state("running"), ""}}, Input::closeInput);
  EXPECT_THAT(run.events, ElementsAre(state("starting"), state("running"), state("saving"),
                                      log("save failed: no space left"), state("running")));
  EXPECT_EQ(run.status, 0);
  EXPECT_FALSE(fileExists(statePath()));
}

}  // namespace
}  // namespace tovan::testing
