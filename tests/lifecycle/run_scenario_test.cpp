// How the machine's own ends, the parent's commands and the end of its input end the helper.
#include <map>

#include "support/scenario.h"

namespace tovan::test {
namespace {

using testing::ElementsAre;
using RunScenario = HelperScenario;

// Lives of a cold-booted machine, none hibernated. Where the helper sits out its waits at the end
// of input, the script scales its sleeps down from the real 120 + 20 s, still long beside the
// guest's own delays.
TEST_F(RunScenario, EachLifeStreamsItsEventsAndEndsWithItsStatus) {
  const std::string refused = "stop requested before VM reached running state";
  const std::string notRunning = "cannot hibernate: VM is not running";
  const std::string saveFailed = "save failed: no space left";
  const std::vector<Say> atRunning = {{kRunning, kEndOfInput}};

  // While starting, stop and hibernate are refused with a log line, and kill ends at once.
  EXPECT_THAT(
      play("boot 600", {{kStarting, kStop}, {log(refused), kHibernate}, {log(notRunning), kKill}}),
      ElementsAre(kStarting, log(refused), log(notRunning), exited(0)));
  // Text that is not UTF-8 (a stray byte, a character cut short) reaches the parent, with U+FFFD.
  EXPECT_THAT(play("fail start no disk \xff at \xe2\x80"),
              ElementsAre(kStarting, error("start failed: no disk \xef\xbf\xbd at \xef\xbf\xbd"),
                          exited(1)));
  EXPECT_THAT(play("fail validate it is invalid"),
              ElementsAre(error("configuration error: it is invalid"), exited(1)));
  EXPECT_THAT(play("power-off-after 0.1"), ElementsAre(kStarting, kRunning, kStopped, exited(0)));
  EXPECT_THAT(play("error-after 0.1 internal error"),
              ElementsAre(kStarting, kRunning, error("guest stopped with error: internal error"),
                          exited(1)));
  EXPECT_THAT(
      play("detach-network-after 0.05 it went away",
           {{log("network detached: it went away"), kStop}}),
      ElementsAre(kStarting, kRunning, log("network detached: it went away"), kStopped, exited(0)));
  // A failed save resumes the machine, and "running" follows even when the resume fails.
  EXPECT_THAT(play("fail save no space left\nfail resume the vCPUs would not start",
                   {{kRunning, kHibernate}, {kRunning, kKill}}),
              ElementsAre(kStarting, kRunning, kSaving, log(saveFailed), kRunning, exited(0)));

  // Below macOS 14 the end of input asks for a stop; a guest that ignores it gets the grace.
  EXPECT_THAT(play("host macos-13\nstop-response never\ntime-scale 0.01", atRunning),
              ElementsAre(kStarting, kRunning, exited(0)));
  // A machine that stays busy, or a queue stuck in a hung save, holds the helper to its bound.
  EXPECT_THAT(play("boot 600\ntime-scale 0.01", {{"", kEndOfInput}}),
              ElementsAre(kStarting, exited(0)));
  EXPECT_THAT(play("stall save 600\ntime-scale 0.001", atRunning),
              ElementsAre(kStarting, kRunning, kSaving, exited(0)));
  // After a failed save the stop is asked once the machine runs again, so the guest shuts down.
  EXPECT_THAT(
      play("fail save no space left\ntime-scale 0.05", atRunning),
      ElementsAre(kStarting, kRunning, kSaving, log(saveFailed), kRunning, kStopped, exited(0)));
  EXPECT_FALSE(fileExists(statePath()) || fileExists(partialPath()));
}

// One helper per machine: a second one on a running machine ends at once, naming the holder,
// and touches nothing.
TEST_F(RunScenario, ASecondHelperOnARunningMachineEndsAtOnceAndTouchesNothing) {
  auto files = [&] {  // every file of the machine with its content
    std::map<std::string, std::string> found;
    for (const auto& file : std::filesystem::directory_iterator(path(""))) {
      found[file.path().filename()] = readFileOrEmpty(file.path());
    }
    return found;
  };
  Finished second;
  auto runSecond = [&] {
    const std::map<std::string, std::string> before = files();
    second = runProcess({TOVAN_HELPER_SIM, "run", "--config", path("helper.json")});
    EXPECT_EQ(files(), before);
  };
  EXPECT_THAT(play("", {{kRunning, kStop, runSecond}}),
              ElementsAre(kStarting, kRunning, kStopped, exited(0)));
  EXPECT_EQ(second.out,
            "{\"event\":\"error\",\"message\":\"machine already running: another "
            "helper (pid " +
                std::to_string(helperPid()) + ") holds \\\"" + statePath() + ".lock\\\"\"}\n");
  EXPECT_EQ(std::tie(second.status, second.err), std::tuple(1, ""));
}

}  // namespace
}  // namespace tovan::test
