// runBounded against real programs: what the child inherits, how it is ended at its deadline,
// and that nothing it spawned is left behind, not even a zombie.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "control/run_bounded.h"
#include "support/child_process.h"

namespace tovan {
namespace {

using test::readFileOrEmpty;
using testing::AllOf;
using testing::HasSubstr;

// Bounds that a healthy run never comes near; only a broken runner would sit them out.
constexpr double kGenerous = 600;
// A bound that a shell outlives, and that is long beside the time it takes to set its trap.
constexpr double kPastTheTrap = 1;

bool noChildLeft() {
  int status;
  return ::waitpid(-1, &status, WNOHANG) < 0 && errno == ECHILD;
}

// Like the helper, the test process ignores SIGTERM and SIGPIPE and blocks a signal, and its
// standard input is a pipe; the runner must pass none of that on.
class RunBoundedTest : public testing::Test {
 protected:
  void SetUp() override {
    ::signal(SIGTERM, SIG_IGN);
    ::signal(SIGPIPE, SIG_IGN);
    sigset_t blocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGUSR1);
    ::pthread_sigmask(SIG_BLOCK, &blocked, &savedMask_);
    ASSERT_EQ(::pipe(commands_), 0);
    savedStdin_ = ::dup(STDIN_FILENO);
    ::dup2(commands_[0], STDIN_FILENO);
  }
  void TearDown() override {
    ::dup2(savedStdin_, STDIN_FILENO);
    for (int fd : {savedStdin_, commands_[0], commands_[1]}) ::close(fd);
    ::pthread_sigmask(SIG_SETMASK, &savedMask_, nullptr);
    ::signal(SIGTERM, SIG_DFL);
    ::signal(SIGPIPE, SIG_DFL);
  }

  test::TempDir dir_;
  std::string out_ = dir_ / "out";
  sigset_t savedMask_;
  int commands_[2] = {-1, -1};
  int savedStdin_ = -1;
};

TEST_F(RunBoundedTest,
       TheChildGetsDefaultSignalsAnEmptyMaskOnlyTheNullDeviceAndItsArgumentsAsTheyAre) {
  // cp copies its own status, so no shell can clear its mask on the way.
  const std::string status = dir_ / "status";
  runBounded({"/bin/cp", "/proc/self/status", status}, kGenerous);
  EXPECT_THAT(readFileOrEmpty(status), AllOf(HasSubstr("\nSigBlk:\t0000000000000000\n"),
                                             HasSubstr("\nSigIgn:\t0000000000000000\n")));
  // `[` is built into the shell, so it compares the shell's own descriptors. A shell inside the
  // runner would have expanded $HOME and the star and dropped the empty argument. Last, ls lists
  // what the program holds: the three streams, the shell's 3 and its own handle on the listing,
  // none of the test's (its saved standard input and the ends of its command pipe).
  runBounded({"/bin/sh", "-c",
              "exec 3>\"$0\";"
              "for fd in 0 1 2; do [ /proc/self/fd/$fd -ef /dev/null ] && echo null >&3; done;"
              "printf '%s|' \"$@\" >&3; echo >&3; exec ls /proc/self/fd >&3",
              out_, "a b", "$HOME", "*", ""},
             kGenerous);
  EXPECT_EQ(readFileOrEmpty(out_), "null\nnull\nnull\na b|$HOME|*||\n0\n1\n2\n3\n4\n");
  EXPECT_TRUE(noChildLeft());
}

TEST_F(RunBoundedTest, AProgramThatCannotBeLaunchedIsSkipped) {
  runBounded({dir_ / "missing"}, kGenerous);
  runBounded({dir_.path()}, kGenerous);
  EXPECT_TRUE(noChildLeft());
}

TEST_F(RunBoundedTest, AProgramStillRunningAtTheDeadlineIsTerminatedOrElseKilledAndReaped) {
  runBounded({"/bin/sh", "-c",
              "trap 'echo terminated >\"$0\"; exit' TERM; while :; do sleep 0.05; done", out_},
             kPastTheTrap);
  EXPECT_EQ(readFileOrEmpty(out_), "terminated\n");
  EXPECT_TRUE(noChildLeft());

  runBounded(
      {"/bin/sh", "-c", "trap 'echo ignored >\"$0\"' TERM; while :; do sleep 0.05; done", out_},
      kPastTheTrap);
  EXPECT_EQ(readFileOrEmpty(out_), "ignored\n");
  EXPECT_TRUE(noChildLeft());
}

}  // namespace
}  // namespace tovan
