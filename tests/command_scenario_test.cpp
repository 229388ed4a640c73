// The parent's commands on standard input and the wind-down when that input ends. Scripts that
// let the helper sit out its waits scale its sleeps down, so no test waits the real 120 + 20 s.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "scenario_fixture.h"

namespace tovan::testing {
namespace {

using ::testing::ElementsAre;

using CommandScenario = HelperScenario;

constexpr std::string_view kStop = "{\"cmd\":\"stop\"}\n";
constexpr std::string_view kKill = "{\"cmd\":\"kill\"}\n";

TEST_F(CommandScenario, StopBeforeRunningIsLoggedAndForgotten) {
  script("boot 600");
  start();
  waitFor(state("starting"));
  send(kStop);
  waitFor(log("stop requested before VM reached running state"));
  send(kKill);
  RunOutcome outcome = end(Input::keepOpen);
  EXPECT_THAT(outcome.events, ElementsAre(state("starting"),
                                          log("stop requested before VM reached running state")));
  EXPECT_EQ(outcome.status, 0);
}

TEST_F(CommandScenario, AFailedStopRequestIsLoggedAndTheHelperRunsOn) {
  script("fail stop-request the guest has no power button");
  start();
  waitFor(state("running"));
  send(kStop);
  waitFor(log("requestStop failed: the guest has no power button"));
  send(kKill);
  RunOutcome outcome = end(Input::keepOpen);
  EXPECT_THAT(outcome.events,
              ElementsAre(state("starting"), state("running"),
                          log("requestStop failed: the guest has no power button")));
  EXPECT_EQ(outcome.status, 0);
}

TEST_F(CommandScenario, KillWhileStartingEndsAtOnceWithoutAnEvent) {
  script("boot 600");
  start();
  waitFor(state("starting"));
  send(kKill);
  RunOutcome outcome = end(Input::keepOpen);
  EXPECT_THAT(outcome.events, ElementsAre(state("starting")));
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.err, "");
}

TEST_F(CommandScenario, JunkLinesAreIgnoredAndTheNextCommandIsObeyed) {
  start();
  waitFor(state("running"));
  send(
      "\n"
      "stop\n"
      "[\"stop\"]\n"
      "{}\n"
      "{\"cmd\":1}\n"
      "{\"cmd\":\"Stop\"}\n"
      "{\"cmd\":\"hibernate\"\n"
      "{\"cmd\":\"reboot\"}\n");
  send("{\"cmd\":\"stop\",\"reason\":\"user\"}\n");
  RunOutcome outcome = end(Input::keepOpen);
  EXPECT_THAT(outcome.events, ElementsAre(state("starting"), state("running"), state("stopped")));
  EXPECT_EQ(outcome.status, 0);
}

TEST_F(CommandScenario, ALastLineWithoutALineFeedIsObeyed) {
  // Were the kill dropped, the end of input would hibernate the machine.
  start();
  waitFor(state("running"));
  send("{\"cmd\":\"kill\"}");
  RunOutcome outcome = end(Input::closeInput);
  EXPECT_THAT(outcome.events, ElementsAre(state("starting"), state("running")));
  EXPECT_EQ(outcome.status, 0);
  EXPECT_FALSE(fileExists(statePath()));
}

TEST_F(CommandScenario, EndOfInputFreezesTheMachine) {
  share(/*isolated=*/true, "build01");
  start();
  waitFor(state("running"));
  RunOutcome outcome = end(Input::closeInput);
  EXPECT_THAT(outcome.events, ElementsAre(state("starting"), state("running"), state("saving"),
                                          state("hibernated")));
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.err, "");
  EXPECT_TRUE(fileExists(statePath()));
  EXPECT_FALSE(fileExists(partialPath()));
}

TEST_F(CommandScenario, EndOfInputWithAHostShareThatIsNotMountedFreezesWithoutAWord) {
  // A name with a blank: nothing is mounted at "/Volumes/my vm" here.
  share(/*isolated=*/false, "my vm");
  start();
  waitFor(state("running"));
  RunOutcome outcome = end(Input::closeInput);
  EXPECT_THAT(outcome.events, ElementsAre(state("starting"), state("running"), state("saving"),
                                          state("hibernated")));
  EXPECT_EQ(outcome.status, 0);
  EXPECT_TRUE(fileExists(statePath()));
}

TEST_F(CommandScenario, EndOfInputWhileStartingNeitherFreezesNorStops) {
  // The input is empty from the start, so the freeze queues right behind the boot and finds the
  // start in flight; the helper waits for it to finish, then for its grace, and ends.
  script("boot 0.3\ntime-scale 0.05");
  start({}, Input::closeInput);
  RunOutcome outcome = end(Input::closeInput);
  EXPECT_THAT(outcome.events, ElementsAre(state("starting"), state("running")));
  EXPECT_EQ(outcome.status, 0);
  EXPECT_FALSE(fileExists(statePath()));
}

TEST_F(CommandScenario, TheWaitForABusyMachineIsBounded) {
  script("boot 600\ntime-scale 0.01");
  start({}, Input::closeInput);
  RunOutcome outcome = end(Input::closeInput);
  EXPECT_THAT(outcome.events, ElementsAre(state("starting")));
  EXPECT_EQ(outcome.status, 0);
}

TEST_F(CommandScenario, EndOfInputBelowMacOS14AsksTheGuestToStop) {
  script("host macos-13");
  start();
  waitFor(state("running"));
  RunOutcome outcome = end(Input::closeInput);
  EXPECT_THAT(outcome.events, ElementsAre(state("starting"), state("running"), state("stopped")));
  EXPECT_EQ(outcome.status, 0);
  EXPECT_FALSE(fileExists(statePath()));
}

TEST_F(CommandScenario, EndOfInputBelowMacOS14EndsAfterTheGraceWhenTheGuestIgnoresTheStop) {
  script("host macos-13\nstop-response never\ntime-scale 0.01");
  start();
  waitFor(state("running"));
  RunOutcome outcome = end(Input::closeInput);
  EXPECT_THAT(outcome.events, ElementsAre(state("starting"), state("running")));
  EXPECT_EQ(outcome.status, 0);
}

TEST_F(CommandScenario, EndOfInputWithAFailedPauseFallsBackToAStop) {
  // The fallback runs once the machine reports running again, so the stop is taken.
  script("fail pause the guest did not quiesce\ntime-scale 0.01");
  start();
  waitFor(state("running"));
  RunOutcome outcome = end(Input::closeInput);
  EXPECT_THAT(outcome.events, ElementsAre(state("starting"), state("running"), state("saving"),
                                          log("pause failed: the guest did not quiesce"),
                                          state("running"), state("stopped")));
  EXPECT_EQ(outcome.status, 0);
}

TEST_F(CommandScenario, EndOfInputWithAFailedSaveAsksForTheStopBeforeTheResumeCompletes) {
  // The fallback runs right after the resume is requested, while the machine cannot take a stop
  // yet; it is dropped without a word and the helper ends after its grace.
  script("fail save no space left on the volume\ntime-scale 0.01");
  start();
  waitFor(state("running"));
  RunOutcome outcome = end(Input::closeInput);
  EXPECT_THAT(outcome.events,
              ElementsAre(state("starting"), state("running"), state("saving"),
                          log("save failed: no space left on the volume"), state("running")));
  EXPECT_EQ(outcome.status, 0);
  EXPECT_FALSE(fileExists(statePath()));
}

}  // namespace
}  // namespace tovan::testing
