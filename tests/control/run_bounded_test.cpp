// runBounded on real programs: what they inherit, their end at the deadline, no zombie left.
#include <gmock/gmock.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "control/run_bounded.h"
#include "support/child_process.h"

namespace tovan::test {
namespace {

bool noChildLeft() { return ::waitpid(-1, nullptr, WNOHANG) < 0 && errno == ECHILD; }

// Like the helper, the test process ignores SIGTERM and its standard input is a pipe; the runner
// must pass neither on.
class RunBoundedTest : public testing::Test {
 protected:
  void SetUp() override {
    ::signal(SIGTERM, SIG_IGN);
    ASSERT_EQ(::pipe(commands_), 0);
    savedStdin_ = ::dup(STDIN_FILENO);
    ::dup2(commands_[0], STDIN_FILENO);
  }
  void TearDown() override {
    ::dup2(savedStdin_, STDIN_FILENO);
    for (int fd : {savedStdin_, commands_[0], commands_[1]}) ::close(fd);
    ::signal(SIGTERM, SIG_DFL);
  }

  TempDir dir_;
  std::string out_ = dir_ / "out";
  int commands_[2] = {-1, -1};
  int savedStdin_ = -1;
};

// `[`, a shell builtin, compares the shell's own descriptors. A shell in the runner would have
// expanded $HOME and the star and dropped the empty argument. ls lists the streams, the shell's 3
// and its own handle on the listing, none of the test's. No healthy run nears the bound.
TEST_F(RunBoundedTest, TheChildGetsOnlyTheNullDeviceAndItsArgumentsAsTheyAre) {
  runBounded({"/bin/sh", "-c",
              "exec 3>\"$0\";"
              "for fd in 0 1 2; do [ /proc/self/fd/$fd -ef /dev/null ] && echo null >&3; done;"
              "printf '%s|' \"$@\" >&3; echo >&3; exec ls /proc/self/fd >&3",
              out_, "a b", "$HOME", "*", ""},
             600);
  EXPECT_EQ(readFileOrEmpty(out_), "null\nnull\nnull\na b|$HOME|*||\n0\n1\n2\n3\n4\n");
  // A program that cannot be launched is skipped.
  runBounded({dir_ / "missing"}, 600);
  runBounded({dir_.path()}, 600);
  EXPECT_TRUE(noChildLeft());
}

// A shell that traps SIGTERM (it could not, had it inherited SIG_IGN) outlives a bound of 1 s.
TEST_F(RunBoundedTest, AProgramStillRunningAtTheDeadlineIsTerminatedOrElseKilledAndReaped) {
  for (const char* onTerm : {"echo terminated >>\"$0\"; exit", "echo ignored >>\"$0\""}) {
    runBounded({"/bin/sh", "-c",
                "trap '" + std::string(onTerm) + "' TERM; while :; do sleep 0.05; done", out_},
               1);
    EXPECT_TRUE(noChildLeft()) << onTerm;
  }
  EXPECT_EQ(readFileOrEmpty(out_), "terminated\nignored\n");
}

}  // namespace
}  // namespace tovan::test
