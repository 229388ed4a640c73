#include "control/run_bounded.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>

#include "base/child_process.h"
#include "base/unique_fd.h"

#if defined(__linux__)
#include <sys/syscall.h>
#endif

namespace tovan {

namespace {

using Clock = std::chrono::steady_clock;

// How long a child that was sent SIGTERM gets before SIGKILL, and how long a killed child gets to
// be reaped. A child stuck in the kernel (a hung SMB mount can do that) may outlast even SIGKILL;
// it is then left behind rather than holding up the wind-down.
constexpr double kTerminateGrace = 0.25;
constexpr double kKillGrace = 1.0;
// Where the kernel cannot tell us that a child ended, we look this often.
constexpr auto kPollInterval = std::chrono::milliseconds(50);

// A descriptor that becomes readable when the process ends, where the kernel offers one.
UniqueFd openProcessHandle(pid_t pid) {
#if defined(__linux__) && defined(SYS_pidfd_open)
  return UniqueFd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
#else
  (void)pid;
  return UniqueFd();
#endif
}

// True once the child has been reaped (or is no longer ours to reap).
bool reapIfEnded(pid_t pid) {
  for (;;) {
    int status = 0;
    pid_t reaped = ::waitpid(pid, &status, WNOHANG);
    if (reaped == pid) return true;
    if (reaped == 0) return false;
    if (errno == EINTR) continue;
    return true;  // ECHILD: nothing left to wait for
  }
}

// Waits up to `seconds` for the child to end and reaps it. True when it was reaped.
bool waitForEnd(pid_t pid, const UniqueFd& handle, double seconds) {
  const auto deadline =
      Clock::now() + std::chrono::duration_cast<Clock::duration>(
                         std::chrono::duration<double>(seconds > 0 ? seconds : 0));
  for (;;) {
    if (reapIfEnded(pid)) return true;
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return false;
    if (handle.valid()) {
      pollfd ready{handle.get(), POLLIN, 0};
      (void)::poll(&ready, 1, static_cast<int>(left.count()));
    } else {
      std::this_thread::sleep_for(std::min<std::chrono::milliseconds>(left, kPollInterval));
    }
  }
}

}  // namespace

void runBounded(const std::vector<std::string>& argv, double seconds) {
  if (argv.empty()) return;
  UniqueFd nullDevice(::open("/dev/null", O_RDWR | O_CLOEXEC));
  if (!nullDevice.valid()) return;
  // Nothing of the helper's: not the parent's commands, not the event stream, no other file.
  ChildSetup setup;
  setup.descriptors = {nullDevice.get(), nullDevice.get(), nullDevice.get()};
  Result<pid_t> spawned = spawnChild(argv, setup);
  if (!spawned) return;  // never launched, and already reaped
  const pid_t pid = *spawned;
  UniqueFd handle = openProcessHandle(pid);

  if (waitForEnd(pid, handle, seconds)) return;
  (void)::kill(pid, SIGTERM);
  if (waitForEnd(pid, handle, kTerminateGrace)) return;
  (void)::kill(pid, SIGKILL);
  (void)waitForEnd(pid, handle, kKillGrace);
}

}  // namespace tovan
