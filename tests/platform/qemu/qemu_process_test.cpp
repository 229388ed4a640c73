// The QEMU child's hygiene, checked with a shell standing in for QEMU: exactly the descriptors
// it should have, a clean signal state, QMP both ways, QEMU's error text, and no way to outlive
// the thread or the process that started it.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "base/exit.h"
#include "events/event.h"
#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "platform/qemu/qemu_process.h"
#include "support/qemu.h"
#include "support/child_process.h"

namespace tovan {
namespace {

using testing::ElementsAre;
using testing::HasSubstr;

// Collects what a process reports on its watcher thread.
class Recorder {
 public:
  QemuProcess::Handlers handlers() {
    return {[this](const nlohmann::json& object) {
              std::lock_guard<std::mutex> guard(mutex_);
              messages_.push_back(object.dump());
              changed_.notify_all();
            },
            [this](ProcessEnd end) {
              std::lock_guard<std::mutex> guard(mutex_);
              end_ = std::move(end);
              changed_.notify_all();
            }};
  }

  std::vector<std::string> awaitMessages(std::size_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, kPatience, [&] { return messages_.size() >= count || end_; });
    return messages_;
  }

  ProcessEnd awaitEnd() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, kPatience, [&] { return end_.has_value(); });
    if (!end_) throw std::runtime_error("the process never ended");
    return *end_;
  }

 private:
  static constexpr std::chrono::seconds kPatience{60};  // only keeps a broken test from hanging
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> messages_;
  std::optional<ProcessEnd> end_;
};

std::unique_ptr<QemuProcess> launchShell(const std::string& script, Recorder& recorder,
                                         int outputFd = -1) {
  auto launched = QemuProcess::launch({"/bin/sh", "-c", script}, outputFd, {}, recorder.handlers());
  if (!launched) throw std::runtime_error(launched.error().description);
  return std::move(*launched);
}

TEST(QemuProcess, ChildGetsExactlyItsFourDescriptorsAndACleanSignalState) {
  test::TempDir dir;
  const std::string output = dir / "output";
  test::writeFile(output, "");
  UniqueFd log(::open(output.c_str(), O_WRONLY | O_CLOEXEC));
  // A descriptor the child must not inherit even though it is not close-on-exec.
  UniqueFd stray(::open("/dev/null", O_RDONLY));
  ASSERT_TRUE(stray.valid());

  // `ls` runs while the shell waits for it, so the listing is the shell's own descriptors.
  Recorder listing;
  auto shell = launchShell("ls -l /proc/$$/fd; echo \"pgid $(cut -d' ' -f5 /proc/$$/stat) pid $$\"",
                           listing, log.get());
  ProcessEnd end = listing.awaitEnd();
  EXPECT_EQ(WEXITSTATUS(end.waitStatus), 0) << end.errorOutput;
  std::vector<std::string> descriptors;
  std::vector<std::string> rest;
  for (const std::string& line : qemutest::splitLines(test::readFileOrEmpty(output))) {
    // "lrwx------ 1 root root 64 Dec  6 17:07 3 -> socket:[1234]" -> "3 socket:[1234]"
    const std::size_t arrow = line.find(" -> ");
    if (arrow == std::string::npos) {
      if (line.rfind("total", 0) != 0) rest.push_back(line);
      continue;
    }
    const std::size_t number = line.rfind(' ', arrow - 1) + 1;
    descriptors.push_back(line.substr(number, arrow - number) + " " + line.substr(arrow + 4));
  }
  // 0 is /dev/null, 1 the output file, 2 a pipe, 3 the QMP socket; nothing else.
  ASSERT_EQ(descriptors.size(), 4u) << testing::PrintToString(descriptors);
  EXPECT_EQ(descriptors[0], "0 /dev/null");
  EXPECT_EQ(descriptors[1], "1 " + output);
  EXPECT_THAT(descriptors[2], testing::StartsWith("2 pipe:"));
  EXPECT_THAT(descriptors[3], testing::StartsWith("3 socket:"));
  // A process group of its own.
  ASSERT_EQ(rest.size(), 1u) << testing::PrintToString(rest);
  const std::string pid = rest[0].substr(rest[0].rfind(' ') + 1);
  EXPECT_EQ(rest[0], "pgid " + pid + " pid " + pid);

  // Ignored and blocked signals in the launching thread stay behind. A shell changes its own
  // mask while it forks, so the program that reports is the one QEMU's place is given to.
  sigset_t blocked, previousMask;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGUSR1);
  ASSERT_EQ(::pthread_sigmask(SIG_BLOCK, &blocked, &previousMask), 0);
  auto previousHandler = ::signal(SIGUSR2, SIG_IGN);
  const std::string report = dir / "signals";
  test::writeFile(report, "");
  UniqueFd reportFd(::open(report.c_str(), O_WRONLY | O_CLOEXEC));
  Recorder signals;
  auto grep = QemuProcess::launch({"/bin/grep", "-E", "^Sig(Blk|Ign):", "/proc/self/status"},
                                  reportFd.get(), {}, signals.handlers());
  ::signal(SIGUSR2, previousHandler);
  ::pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
  ASSERT_TRUE(grep.ok());
  EXPECT_EQ(WEXITSTATUS(signals.awaitEnd().waitStatus), 0);
  EXPECT_THAT(qemutest::splitLines(test::readFileOrEmpty(report)),
              ElementsAre("SigBlk:\t0000000000000000", "SigIgn:\t0000000000000000"));
}

// QMP goes both ways; of a long error output only the tail, in whole lines, is kept with the
// exit status; a program that cannot run ends with its reason.
TEST(QemuProcess, CarriesQmpBothWaysAndKeepsTheTailOfTheErrorOutput) {
  Recorder recorder;
  auto process = launchShell(
      "echo '{\"QMP\":{}}' >&3; read -r command <&3; "
      "echo \"{\\\"return\\\":{},\\\"echo\\\":$command}\" >&3; "
      "i=0; while [ $i -lt 2000 ]; do echo \"qemu-system-x86_64: noise $i\" >&2; "
      "i=$((i+1)); done; echo 'qemu-system-x86_64: the real reason' >&2; exit 3",
      recorder);
  ASSERT_THAT(recorder.awaitMessages(1), ElementsAre("{\"QMP\":{}}"));
  ASSERT_TRUE(process->send(qmpCommand("cont", 5)).ok());
  auto messages = recorder.awaitMessages(2);
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(nlohmann::json::parse(messages[1])["echo"]["execute"], "cont");

  ProcessEnd end = recorder.awaitEnd();
  EXPECT_EQ(WEXITSTATUS(end.waitStatus), 3);
  EXPECT_LE(end.errorOutput.size(), 4096u);
  EXPECT_THAT(end.errorOutput, testing::StartsWith("qemu-system-x86_64: noise "));
  EXPECT_THAT(describeProcessEnd(end), testing::EndsWith("; the real reason"));

  Recorder missing;
  auto launched = QemuProcess::launch({"/nonexistent/qemu"}, -1, {}, missing.handlers());
  ASSERT_FALSE(launched.ok());
  EXPECT_EQ(launched.error().description,
            "cannot execute /nonexistent/qemu: No such file or directory");
}

TEST(QemuProcess, KillEndsItAndTheDestructorWaitsForTheEnd) {
  Recorder recorder;
  auto process = launchShell("echo '{\"QMP\":{}}' >&3; exec sleep 600", recorder);
  ASSERT_EQ(recorder.awaitMessages(1).size(), 1u);
  const pid_t pid = process->pid();
  process->kill();
  ProcessEnd end = recorder.awaitEnd();
  EXPECT_EQ(describeProcessEnd(end), "QEMU was killed by signal 9 (Killed)");
  process.reset();
  EXPECT_FALSE(qemutest::processIsAlive(pid));

  // Destroying a live process kills it too, and `ended` has run once the destructor returns.
  Recorder second;
  auto running = launchShell("exec sleep 600", second);
  const pid_t secondPid = running->pid();
  running.reset();
  EXPECT_EQ(WTERMSIG(second.awaitEnd().waitStatus), SIGKILL);
  EXPECT_FALSE(qemutest::processIsAlive(secondPid));
}

TEST(QemuProcess, DiesWithTheThreadThatLaunchedIt) {
  // The machine's queue launches QEMU; were that thread to end, QEMU must not run on alone.
  Recorder recorder;
  std::unique_ptr<QemuProcess> process;
  std::thread launcher([&] {
    process = launchShell("echo '{\"QMP\":{}}' >&3; exec sleep 600", recorder);
    // Running: past its set-up, so the thread's end is what ends it.
    recorder.awaitMessages(1);
  });
  launcher.join();
  ProcessEnd end = recorder.awaitEnd();
  EXPECT_TRUE(WIFSIGNALED(end.waitStatus));
  EXPECT_EQ(WTERMSIG(end.waitStatus), SIGKILL);
}

TEST(QemuProcessDeathTest, IsGoneBeforeTheHelpersExitIsSeen) {
  test::TempDir dir;
  const std::string pidFile = dir / "pid";
  // The child of the death test launches a long sleeper and ends through exitProcess.
  EXPECT_EXIT(
      {
        Recorder recorder;
        auto process = launchShell("exec sleep 600", recorder);
        test::writeFile(pidFile, std::to_string(process->pid()));
        exitProcess(0);
      },
      testing::ExitedWithCode(0), "");
  const pid_t sleeper = std::stoi(test::readFileOrEmpty(pidFile));
  // The exit hook killed it and waited for its end before the helper's exit completed.
  EXPECT_FALSE(qemutest::processIsAlive(sleeper));
}

}  // namespace
}  // namespace tovan
