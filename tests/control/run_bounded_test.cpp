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

// Like the helper, the test ignores SIGTERM and reads commands from a pipe; the child gets
// neither. Its arguments arrive unexpanded, the empty one kept; ls lists the streams, the shell's
// 3 and its own handle, none of the test's. A program that cannot be launched is skipped. A shell
// trapping SIGTERM (it could not, had it inherited SIG_IGN) outlives a bound of 1 s.
TEST(RunBounded, TheChildGetsOnlyTheNullDeviceAndItsArgumentsAndIsEndedAtTheDeadline) {
  TempDir dir;
  const std::string out = dir / "out";
  int commands[2];
  ASSERT_EQ(::pipe(commands), 0);
  const int savedStdin = ::dup(STDIN_FILENO);
  ::dup2(commands[0], STDIN_FILENO);
  ::signal(SIGTERM, SIG_IGN);

  runBounded({"/bin/sh", "-c",
              "exec 3>\"$0\";"
              "for fd in 0 1 2; do [ /proc/self/fd/$fd -ef /dev/null ] && echo null >&3; done;"
              "printf '%s|' \"$@\" >&3; echo >&3; exec ls /proc/self/fd >&3",
              out, "a b", "$HOME", "*", ""},
             600);
  EXPECT_EQ(readFileOrEmpty(out), "null\nnull\nnull\na b|$HOME|*||\n0\n1\n2\n3\n4\n");
  runBounded({dir / "missing"}, 600);
  runBounded({dir.path()}, 600);
  EXPECT_TRUE(noChildLeft());

  for (const char* onTerm : {"echo terminated >>\"$0\"; exit", "echo ignored >>\"$0\""}) {
    runBounded(
        {"/bin/sh", "-c", "trap '" + std::string(onTerm) + "' TERM; while :; do sleep 0.05; done",
         dir / "end"},
        1);
    EXPECT_TRUE(noChildLeft()) << onTerm;
  }
  EXPECT_EQ(readFileOrEmpty(dir / "end"), "terminated\nignored\n");

  ::signal(SIGTERM, SIG_DFL);
  ::dup2(savedStdin, STDIN_FILENO);
  for (int fd : {savedStdin, commands[0], commands[1]}) ::close(fd);
}

}  // namespace
}  // namespace tovan::test
