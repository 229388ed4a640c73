#include "base/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>

#include "base/unique_fd.h"

#if defined(__linux__)
#include <sys/prctl.h>
#endif

namespace tovan {

namespace {

// The most descriptors a child is given: its three standard ones, QMP and the machine's files.
constexpr int kMostDescriptors = 24;

struct Plan {
  pid_t parent;
  int count;
  int sources[kMostDescriptors];
  bool ownProcessGroup;
  int report;     // the pipe that tells the parent why exec failed
  int openLimit;  // one past the highest descriptor, for systems without close_range
  char* const* argv;
};

int openDescriptorLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return 65536;
  return static_cast<int>(std::min<rlim_t>(limit.rlim_cur, 1 << 20));
}

[[noreturn]] void failInChild(int report) {
  const int code = errno;
  (void)!::write(report, &code, sizeof code);
  ::_exit(127);
}

[[noreturn]] void becomeProgram(const Plan& plan) {
  sigset_t none;
  sigemptyset(&none);
  (void)::sigprocmask(SIG_SETMASK, &none, nullptr);
  struct sigaction defaults {};
  defaults.sa_handler = SIG_DFL;
  sigemptyset(&defaults.sa_mask);
  for (int signal = 1; signal < NSIG; ++signal) (void)::sigaction(signal, &defaults, nullptr);
#if defined(__linux__)
  // Should the helper have died before this line, the signal was missed: the new parent says so.
  if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || ::getppid() != plan.parent) ::_exit(126);
#endif
  if (plan.ownProcessGroup) (void)::setpgid(0, 0);

  // Lift every source above the target numbers first, so that placing one never overwrites
  // another still to be placed; the report pipe goes above them all.
  int lifted[kMostDescriptors];
  const int report = ::fcntl(plan.report, F_DUPFD_CLOEXEC, plan.count);
  if (report < 0) ::_exit(126);
  for (int target = 0; target < plan.count; ++target) {
    lifted[target] = ::fcntl(plan.sources[target], F_DUPFD, plan.count);
    if (lifted[target] < 0) failInChild(report);
  }
  for (int target = 0; target < plan.count; ++target) {
    if (::dup2(lifted[target], target) < 0) failInChild(report);
  }
  // Everything above is closed at exec; the report pipe stays usable until then.
#if defined(__linux__) && defined(CLOSE_RANGE_CLOEXEC)
  if (::close_range(static_cast<unsigned>(plan.count), ~0u, CLOSE_RANGE_CLOEXEC) != 0)
#endif
  {
    for (int fd = plan.count; fd < plan.openLimit; ++fd) (void)::fcntl(fd, F_SETFD, FD_CLOEXEC);
  }
  ::execv(plan.argv[0], plan.argv);
  failInChild(report);
}

}  // namespace

Result<pid_t> spawnChild(const std::vector<std::string>& argv, const ChildSetup& setup) {
  if (argv.empty()) return Error{"no program to run"};
  if (setup.descriptors.size() < 3 || setup.descriptors.size() > kMostDescriptors) {
    return Error{"a child takes 3 to " + std::to_string(kMostDescriptors) + " descriptors"};
  }
  std::vector<char*> arguments;
  arguments.reserve(argv.size() + 1);
  for (const std::string& argument : argv) arguments.push_back(const_cast<char*>(argument.c_str()));
  arguments.push_back(nullptr);

  int report[2];
#if defined(__linux__)
  if (::pipe2(report, O_CLOEXEC) != 0) return errorFromErrno("cannot create a pipe", errno);
#else
  if (::pipe(report) != 0) return errorFromErrno("cannot create a pipe", errno);
  for (int fd : report) (void)::fcntl(fd, F_SETFD, FD_CLOEXEC);
#endif
  UniqueFd reportRead(report[0]);
  UniqueFd reportWrite(report[1]);

  Plan plan{};
  plan.parent = ::getpid();
  plan.count = static_cast<int>(setup.descriptors.size());
  plan.ownProcessGroup = setup.ownProcessGroup;
  plan.report = reportWrite.get();
  plan.openLimit = openDescriptorLimit();
  plan.argv = arguments.data();
  for (std::size_t i = 0; i < setup.descriptors.size(); ++i) {
    plan.sources[i] = setup.descriptors[i];
  }
  const pid_t pid = ::fork();
  if (pid < 0) return errorFromErrno("cannot start " + argv[0], errno);
  if (pid == 0) becomeProgram(plan);
  reportWrite.reset();

  int code = 0;
  ssize_t got;
  do {
    got = ::read(reportRead.get(), &code, sizeof code);
  } while (got < 0 && errno == EINTR);
  if (got <= 0) return pid;  // the report pipe closed at exec: the program runs
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return errorFromErrno("cannot execute " + argv[0], code);
}

}  // namespace tovan
