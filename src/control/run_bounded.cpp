#include "control/run_bounded.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>

#include "base/unique_fd.h"

#if defined(__linux__)
#include <sys/prctl.h>
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

// Marks every descriptor from 3 up close-on-exec, so that the program inherits nothing of the
// helper's (QEMU's sockets, the state file, the command pipe) yet the report pipe works until the
// exec. `openLimit` is taken before the fork; async-signal-safe calls only.
void closeAboveStandardStreamsOnExec(int openLimit) {
#if defined(__linux__) && defined(CLOSE_RANGE_CLOEXEC)
  if (::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) == 0) return;
#endif
  for (int fd = 3; fd < openLimit; ++fd) {
    const int flags = ::fcntl(fd, F_GETFD);
    if (flags >= 0 && !(flags & FD_CLOEXEC)) (void)::fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
  }
}

// One past the highest descriptor the process can hold, for the fallback above.
int openDescriptorLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return 65536;
  return static_cast<int>(std::min<rlim_t>(limit.rlim_cur, 1 << 20));
}

// Runs in the child between fork and exec: async-signal-safe calls only.
[[noreturn]] void becomeProgram(char* const* argv, int nullDevice, int reportFd, pid_t parent,
                                int openLimit) {
  struct sigaction defaults {};
  defaults.sa_handler = SIG_DFL;
  sigemptyset(&defaults.sa_mask);
  // The helper ignores SIGTERM; a child that inherited that could not be ended at its deadline.
  for (int signal = 1; signal < NSIG; ++signal) (void)::sigaction(signal, &defaults, nullptr);
  sigset_t none;
  sigemptyset(&none);
  (void)::sigprocmask(SIG_SETMASK, &none, nullptr);
#if defined(__linux__)
  (void)::prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (::getppid() != parent) ::_exit(127);  // the parent went away before the line above
#else
  (void)parent;
#endif
  for (int target = 0; target <= 2; ++target) {
    if (::dup2(nullDevice, target) < 0) {
      int code = errno;
      (void)!::write(reportFd, &code, sizeof code);
      ::_exit(127);
    }
  }
  closeAboveStandardStreamsOnExec(openLimit);
  ::execv(argv[0], argv);
  int code = errno;
  (void)!::write(reportFd, &code, sizeof code);
  ::_exit(127);
}

}  // namespace

void runBounded(const std::vector<std::string>& argv, double seconds) {
  if (argv.empty()) return;
  std::vector<char*> arguments;
  arguments.reserve(argv.size() + 1);
  for (const std::string& argument : argv) arguments.push_back(const_cast<char*>(argument.c_str()));
  arguments.push_back(nullptr);

  UniqueFd nullDevice(::open("/dev/null", O_RDWR | O_CLOEXEC));
  if (!nullDevice.valid()) return;
  // Tells a failed exec from a started program: the write end closes on a successful exec.
  int report[2];
#if defined(__linux__)
  if (::pipe2(report, O_CLOEXEC) != 0) return;
#else
  if (::pipe(report) != 0) return;
  for (int fd : report) (void)::fcntl(fd, F_SETFD, FD_CLOEXEC);
#endif
  UniqueFd reportRead(report[0]);
  UniqueFd reportWrite(report[1]);

  const pid_t parent = ::getpid();
  const int openLimit = openDescriptorLimit();
  const pid_t pid = ::fork();
  if (pid < 0) return;
  if (pid == 0) {
    becomeProgram(arguments.data(), nullDevice.get(), reportWrite.get(), parent, openLimit);
  }
  reportWrite.reset();
  UniqueFd handle = openProcessHandle(pid);

  int code = 0;
  ssize_t got;
  do {
    got = ::read(reportRead.get(), &code, sizeof code);
  } while (got < 0 && errno == EINTR);
  if (got > 0) {
    // Never launched: the child is ending on its own right now.
    (void)waitForEnd(pid, handle, kKillGrace);
    return;
  }

  if (waitForEnd(pid, handle, seconds)) return;
  (void)::kill(pid, SIGTERM);
  if (waitForEnd(pid, handle, kTerminateGrace)) return;
  (void)::kill(pid, SIGKILL);
  (void)waitForEnd(pid, handle, kKillGrace);
}

}  // namespace tovan
