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

using ::testing::HasSubstr;
using testing::readFileOrEmpty;
using testing::TempDir;

// Bounds long enough that a healthy run never comes near them; only a broken runner waits them out.
constexpr double kGenerous = 600;

// True when this process has no child at all, running or zombie.
bool noChildLeft() {
  int status;
  return ::waitpid(-1, &status, WNOHANG) < 0 && errno == ECHILD;
}

// The helper ignores SIGTERM and SIGPIPE for its whole life and threads may block signals; the
// runner must give its programs none of that.
class RunBoundedTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::signal(SIGTERM, SIG_IGN);
    ::signal(SIGPIPE, SIG_IGN);
    sigset_t blocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGUSR1);
    ::pthread_sigmask(SIG_BLOCK, &blocked, &savedMask_);
  }
  void TearDown() override {
    ::pthread_sigmask(SIG_SETMASK, &savedMask_, nullptr);
    ::signal(SIGTERM, SIG_DFL);
    ::signal(SIGPIPE, SIG_DFL);
  }

  TempDir dir_;
  sigset_t savedMask_;
};

TEST_F(RunBoundedTest, ChildStartsWithDefaultSignalsAnEmptyMaskAndTheNullDevice) {
  std::string out = dir_ / "out";
  // Standard input is the parent's command pipe in the helper; stand in for it with a pipe.
  int commands[2];
  ASSERT_EQ(::pipe(commands), 0);
  int savedStdin = ::dup(STDIN_FILENO);
  ::dup2(commands[0], STDIN_FILENO);
  // The shell keeps the dispositions it was started with. Its own descriptors are compared with
  // the null device by the shell itself (`[` is built in), so no redirection of a reporting
  // command can show through.
  runBounded(
      {"/bin/sh", "-c",
       "exec 3>\"$0\"; grep -E '^(SigIgn|SigBlk):' /proc/$$/status >&3;"
       "for fd in 0 1 2; do"
       "  if [ /proc/self/fd/$fd -ef /dev/null ]; then echo null >&3; else echo other >&3; fi;"
       "done",
       out},
      kGenerous);
  ::dup2(savedStdin, STDIN_FILENO);
  for (int fd : {savedStdin, commands[0], commands[1]}) ::close(fd);
  EXPECT_EQ(readFileOrEmpty(out),
            "SigBlk:\t0000000000000000\nSigIgn:\t0000000000000000\n"
            "null\nnull\nnull\n");
  EXPECT_TRUE(noChildLeft());
}

TEST_F(RunBoundedTest, PassesArgumentsAsTheyAreWithoutAShell) {
  std::string out = dir_ / "out";
  // A shell between the runner and the program would expand $HOME and the star, and lose the
  // empty argument.
  runBounded({"/bin/sh", "-c", "printf '%s|' \"$@\" > \"$0\"", out, "a b", "$HOME", "*", "'q'", ""},
             kGenerous);
  EXPECT_EQ(readFileOrEmpty(out), "a b|$HOME|*|'q'||");
  EXPECT_TRUE(noChildLeft());
}

TEST_F(RunBoundedTest, AProgramThatCannotBeLaunchedIsSkipped) {
  // A broken runner would sit out the generous bound and the test would time out.
  runBounded({dir_ / "missing"}, kGenerous);
  runBounded({dir_.path()}, kGenerous);  // a directory is not executable
  EXPECT_TRUE(noChildLeft());
}

TEST_F(RunBoundedTest, AProgramStillRunningAtTheDeadlineIsTerminatedAndReaped) {
  std::string out = dir_ / "out";
  runBounded({"/bin/sh", "-c",
              "trap 'echo terminated > \"$0\"; exit 0' TERM; while :; do sleep 0.05; done", out},
             0.2);
  EXPECT_EQ(readFileOrEmpty(out), "terminated\n");
  EXPECT_TRUE(noChildLeft());
}

TEST_F(RunBoundedTest, AProgramThatIgnoresTerminationIsKilled) {
  std::string out = dir_ / "out";
  runBounded(
      {"/bin/sh", "-c", "trap 'echo ignored > \"$0\"' TERM; while :; do sleep 0.05; done", out},
      0.2);
  EXPECT_THAT(readFileOrEmpty(out), HasSubstr("ignored"));
  EXPECT_TRUE(noChildLeft());
}

}  // namespace
}  // namespace tovan
