// Hibernation and restore under faults: a helper killed anywhere, a parent that leaves, a file
// system that is full or read-only, and many cycles in a row. None may leave a state that is
// torn or stale at the save path, nor lose one that is whole.
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <random>
#include <regex>
#include <thread>

#include "support/scenario.h"

namespace tovan::test {
namespace {

using testing::ElementsAre;
using FaultScenario = HelperScenario;

// Killed at random points of hibernations and restores, the helper leaves nothing, the old state
// or the whole new one at the save path; the next run resumes a state that verifies or cold-boots,
// and never resumes a state whose guest has run on.
TEST_F(FaultScenario, AHelperKilledAnywhereLeavesAStateThatVerifiesOrNone) {
  const std::string script = "boot 0.02\nrestore 0.03\nsave 0.03";
  std::mt19937 random(20261208);
  std::string resumed;  // the last state a guest ran on from
  int restored = 0, killedInFlight = 0;
  for (int round = 0; round < 40; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    const std::string before = readFileOrEmpty(statePath());
    const bool aside = fileExists(statePath() + ".aside");
    EXPECT_TRUE(before.empty() || before != resumed);
    // Two rounds in ten wait long enough, even on a loaded machine, to hibernate and to restore.
    auto killSoon = [&] {
      const auto patient = round % 10 >= 8 ? 1'500'000 : 0;
      std::this_thread::sleep_for(std::chrono::microseconds(patient + random() % 60000));
      ::kill(helperPid(), SIGKILL);
    };
    // Every other round is killed in its restore or boot; the rest in their hibernation.
    const std::vector<Say> parent = {{kRunning, kHibernate}, {"", kEndOfInput, killSoon}};
    const std::vector<std::string> events =
        play(script, {parent.begin() + round % 2, parent.end()});
    EXPECT_THAT(events, testing::Not(testing::Contains(testing::HasSubstr("restore failed"))));
    if (events.size() > 1) {  // else killed before it said anything
      EXPECT_EQ(events.front(), before.empty() && !aside ? kStarting : kRestoring);
    }
    if (events.front() == kRestoring && events.size() > 1 && events[1] == kRunning) {
      resumed = before, ++restored;
    }
    killedInFlight += events.back() == exited(128 + SIGKILL);
  }
  // The rounds reached both sides of each step, not only one.
  EXPECT_GT(restored, 0);
  EXPECT_GT(killedInFlight, 4);
  EXPECT_THAT(play(script, {{kRunning, kStop}}), testing::Contains(kRunning));
}

// On a file system that is full, then read-only: a save fails in the OS's words and leaves
// nothing; a state that cannot be taken out of the way is not resumed, and is kept. Root only:
// the save directory is a small tmpfs in a mount namespace of the test's own.
TEST_F(FaultScenario, AFullOrReadOnlySaveDirectoryLosesNothingAndResumesNothingStale) {
  const std::string saves = path("saves");
  std::filesystem::create_directory(saves);
  if (::geteuid() != 0 || ::unshare(CLONE_NEWNS) != 0 ||
      ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
      ::mount("tmpfs", saves.c_str(), "tmpfs", 0, "size=256k") != 0) {
    GTEST_SKIP() << "needs root to mount a small file system of its own";
  }
  saveAt(saves + "/state");
  auto saveFailed = [&](const std::string& why) {
    return log("save failed: cannot write saved state to \"" + partialPath() + "\": " + why);
  };
  auto fill = [&] {
    for (std::ofstream filler(saves + "/filler"); filler << std::string(4096, 'x');) continue;
  };
  EXPECT_THAT(play("", {{kRunning, kHibernate, fill}, {kRunning, kStop}}),
              ElementsAre(kStarting, kRunning, kSaving, saveFailed("No space left on device"),
                          kRunning, kStopped, exited(0)));
  std::filesystem::remove(saves + "/filler");

  // A state saved, then the directory mounted read-only over itself (open files stay writable).
  auto readOnly = [&] {
    ASSERT_EQ(::mount(saves.c_str(), saves.c_str(), nullptr, MS_BIND, nullptr), 0);
    ASSERT_EQ(::mount(nullptr, saves.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr),
              0);
  };
  EXPECT_THAT(play("", {{kRunning, kHibernate}}),
              ElementsAre(kStarting, kRunning, kSaving, kHibernated, exited(0)));
  const std::string saved = readFileOrEmpty(statePath());
  readOnly();
  EXPECT_THAT(play(""),
              ElementsAre(kRestoring,
                          error("resume after restore failed: cannot move \"" + statePath() +
                                "\" to \"" + statePath() + ".consumed\": Read-only file system"),
                          exited(1)));
  EXPECT_EQ(readFileOrEmpty(statePath()), saved);

  ASSERT_EQ(::umount(saves.c_str()), 0);
  EXPECT_THAT(play("", {{kRunning, kHibernate, readOnly}, {kRunning, kStop}}),
              ElementsAre(kRestoring, kRunning, kSaving, saveFailed("Read-only file system"),
                          kRunning, kStopped, exited(0)));
}

// The state's bytes reach the disk before its name does, and its name before the parent hears
// "hibernated".
TEST_F(FaultScenario, TheStateIsOnTheDiskBeforeItsNameAndItsNameBeforeTheParentHears) {
  if (std::system("strace -V >/dev/null 2>&1") != 0) GTEST_SKIP() << "strace is not installed";
  const std::string traced = path("traced-helper");  // the helper under strace, as play() runs it
  writeFile(traced, "#!/bin/sh\nexec strace -f -qq -y -s 80 -o " + path("trace") +
                        " -e trace=fsync,fdatasync,rename,renameat,renameat2,write " +
                        TOVAN_HELPER_SIM + " \"$@\"\n");
  std::filesystem::permissions(traced, std::filesystem::perms::owner_all);
  useHelper(traced);
  EXPECT_THAT(play("", {{kRunning, kHibernate}}),
              ElementsAre(kStarting, kRunning, kSaving, kHibernated, exited(0)));
  // In this order: the partial file synced, moved, its directory synced, the parent told.
  const std::vector<std::string> lines = splitLines(readFileOrEmpty(path("trace")));
  std::size_t line = 0;
  for (const std::string& step :
       {"sync\\(\\d+<" + partialPath() + ">", "rename.*\"" + partialPath() + "\", \"",
        "fsync\\(\\d+<" + path("").substr(0, path("").size() - 1) + ">",
        std::string("write\\(1<.*hibernated")}) {
    while (line < lines.size() && !std::regex_search(lines[line], std::regex(step))) ++line;
    ASSERT_LT(line, lines.size()) << step << " in\n" << readFileOrEmpty(path("trace"));
  }
}

// Two hundred hibernations and restores in a row, the parent gone in the middle of each save:
// each state is committed all the same (the next cycle restores it), each helper costs what the
// first did, and nothing stays beside the state.
TEST_F(FaultScenario, ManyCyclesInARowCostTheSameEachTime) {
  std::vector<long> first, last;
  for (int cycle = 0; cycle < 200; ++cycle) {
    std::vector<long>& into = cycle == 0 ? first : last;
    EXPECT_THAT(play("boot 0.01\nrestore 0.01\nsave 0.02",
                     {{kRunning, kHibernate, [&] { into = processCost(helperPid()); }},
                      {kSaving, kEndOfInput, [&] { parentLeaves(); }}}),
                ElementsAre(cycle == 0 ? kStarting : kRestoring, kRunning, kSaving, exited(0)))
        << cycle;
  }
  EXPECT_EQ(last[0], first[0]);                  // descriptors
  EXPECT_EQ(last[1], first[1]);                  // threads
  EXPECT_LT(last[2], first[2] + 4096) << "KiB";  // resident memory, with slack for sanitizers
  std::vector<std::string> beside;
  for (const auto& entry : std::filesystem::directory_iterator(path(""))) {
    if (entry.path().string().rfind(statePath(), 0) == 0) beside.push_back(entry.path());
  }
  EXPECT_THAT(beside, testing::UnorderedElementsAre(statePath(), statePath() + ".lock"));
}

}  // namespace
}  // namespace tovan::test
