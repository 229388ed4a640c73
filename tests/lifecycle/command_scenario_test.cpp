// The parent's commands on standard input, and the wind-down when that input ends. Scripts
// whose helper sits out its waits scale its sleeps down, so no test waits the real 120 + 20 s,
// yet the scaled grace stays long beside the guest's own delays.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>

#include "support/scenario.h"

namespace tovan::test {
namespace {

using testing::ElementsAre;
using CommandScenario = HelperScenario;

// The most memory process `pid` has held so far, in KiB.
long peakResidentKib(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

// Given standard input handed down non-blocking and a command line of 64 MiB: the helper waits
// for input rather than taking an empty pipe for its end (which would freeze the machine), keeps
// only a bounded part of the line, and obeys the next command. The guest refuses to stop, so the
// stop is answered with a log line and the helper runs on to be measured. play() cannot hand
// down such an input nor name the process, so the helper is started here, in the fixture's
// directory.
TEST_F(CommandScenario, AnOverlongLineOnANonBlockingInputCostsBoundedMemory) {
  script("fail stop-request the guest has no power button");
  writeFile(path("helper.json"),
            R"({"disk_path":"disk.img","seed_path":"seed.img","efi_store_path":"efi",)"
            R"("machine_identifier_path":"id","console_log_path":"log","mac_address":"",)"
            R"("cpu_count":1,"memory_mib":512,"isolated":true,"save_path":"saved-state"})");
  ChildProcess helper({TOVAN_HELPER_SIM, "run", "--config", "helper.json"}, path(""),
                      ChildStdin::nonBlocking);
  EXPECT_EQ(helper.readLine(), std::string(R"({"event":"state","state":"starting"})"));
  EXPECT_EQ(helper.readLine(), std::string(R"({"event":"state","state":"running"})"));
  const long before = peakResidentKib(helper.pid());
  ASSERT_GT(before, 0);
  // A kill padded far beyond any command: were it obeyed, no log line would come.
  helper.write(R"({"cmd":"kill","pad":")" + std::string(64 << 20, 'x') + "\"}\n" +
               std::string(kStop));
  EXPECT_EQ(helper.readLine(), std::string(R"({"event":"log","line":"requestStop failed: )"
                                           R"(the guest has no power button"})"));
  EXPECT_LT(peakResidentKib(helper.pid()) - before, 16 * 1024);  // slack for sanitizers
  helper.write(kKill);
  Finished finished = helper.finish();
  EXPECT_EQ(finished.status, 0);
  EXPECT_EQ(finished.out + finished.err, "");
}

TEST_F(CommandScenario, TextThatIsNotUtf8ReachesTheParentWithReplacementCharacters) {
  script("fail start no disk \xff at \xe2\x80");
  RunOutcome run = play({}, Input::keepOpen);
  EXPECT_THAT(run.events, ElementsAre(state("starting"),
                                      error("start failed: no disk \xef\xbf\xbd at \xef\xbf\xbd")));
  EXPECT_EQ(run.status, 1);
}

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

// A machine that stays busy, or a queue stuck in a save that never returns (a hung file
// operation), holds the helper no longer than its bound.
TEST_F(CommandScenario, TheWindDownIsBoundedWhateverTheMachineDoes) {
  script("boot 600\ntime-scale 0.01");
  RunOutcome busy = play({}, Input::closeInput);
  EXPECT_THAT(busy.events, ElementsAre(state("starting")));
  EXPECT_EQ(busy.status, 0);

  script("stall save 600\ntime-scale 0.001");
  RunOutcome stuck = play({{state("running"), ""}}, Input::closeInput);
  EXPECT_THAT(stuck.events, ElementsAre(state("starting"), state("running"), state("saving")));
  EXPECT_EQ(stuck.status, 0);
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
}  // namespace tovan::test
