// Hibernation on command: the state reaches savePath only whole, through the ".part" file, and
// every way it can fail leaves the machine running with its one log line.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "support/scenario.h"

namespace tovan::test {
namespace {

using testing::ElementsAre;
using HibernationScenario = HelperScenario;

TEST_F(HibernationScenario, TheStateGoesThroughThePartialFileAndIsRestoredOnceByTheNextRun) {
  writeFile(partialPath(), "left over from an attempt that failed");
  hibernateOnce();
  EXPECT_FALSE(fileExists(partialPath()));

  // The restored guest runs ahead of the state, so the state is gone by then.
  RunOutcome run = play({{state("running"), kStop, [&] { EXPECT_FALSE(fileExists(statePath())); }}},
                        Input::keepOpen);
  EXPECT_THAT(run.events, ElementsAre(state("restoring"), state("running"), state("stopped")));
  EXPECT_EQ(run.status, 0);
}

TEST_F(HibernationScenario, AFailedSaveResumesTheMachineAndReportsRunningEvenIfTheResumeFails) {
  script("fail save no space left\nfail resume the vCPUs would not start");
  RunOutcome run = play({{state("running"), kHibernate},
                         {log("save failed: no space left"), ""},
                         {state("running"), kKill}},
                        Input::keepOpen);
  EXPECT_THAT(run.events, ElementsAre(state("starting"), state("running"), state("saving"),
                                      log("save failed: no space left"), state("running")));
  EXPECT_EQ(run.status, 0);
  EXPECT_FALSE(fileExists(statePath()));
}

TEST_F(HibernationScenario, AStateThatCannotBeMovedIntoPlaceStaysCompleteAtThePartialPath) {
  // A directory with something in it stands in for an entry that cannot be replaced.
  const std::string blocker = statePath() + "/keep";
  const std::string failure = "finalize snapshot failed: cannot move \"" + partialPath() +
                              "\" to \"" + statePath() + "\": Is a directory";
  RunOutcome run = play({{state("running"), kHibernate,
                          [&] {
                            ASSERT_EQ(::mkdir(statePath().c_str(), 0755), 0);
                            writeFile(blocker, "");
                          }},
                         {log(failure), ""},
                         {state("running"), kStop}},
                        Input::keepOpen);
  EXPECT_THAT(run.events, ElementsAre(state("starting"), state("running"), state("saving"),
                                      log(failure), state("running"), state("stopped")));
  EXPECT_EQ(run.status, 0);

  ASSERT_EQ(::unlink(blocker.c_str()), 0);
  ASSERT_EQ(::rmdir(statePath().c_str()), 0);
  ASSERT_EQ(::rename(partialPath().c_str(), statePath().c_str()), 0);
  EXPECT_THAT(play({{state("running"), kStop}}, Input::keepOpen).events,
              ElementsAre(state("restoring"), state("running"), state("stopped")));
}

TEST_F(HibernationScenario, AHostBelowMacOS14NeitherRestoresNorHibernatesButStillStops) {
  writeFile(statePath(), "state from another host");
  script("host macos-13");
  RunOutcome run =
      play({{state("running"), kHibernate}, {error("hibernation requires macOS 14+"), kStop}},
           Input::keepOpen);
  EXPECT_THAT(run.events, ElementsAre(state("starting"), state("running"),
                                      error("hibernation requires macOS 14+"), state("stopped")));
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(readFileOrEmpty(statePath()), "state from another host");
  EXPECT_FALSE(fileExists(partialPath()));
}

}  // namespace
}  // namespace tovan::test
