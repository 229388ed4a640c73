#include "platform/qemu/qemu_process.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <mutex>
#include <optional>
#include <vector>

#include "base/child_process.h"
#include "base/exit.h"

namespace tovan {

namespace {

// How much of QEMU's standard error is kept: enough for its last few messages.
constexpr std::size_t kErrorTail = 4096;
// How long the exit hook waits for a killed child to end. SIGKILL is not refused, so this only
// matters for a process stuck in the kernel; the helper's exit must not hang on it.
constexpr int kExitHookPatienceMs = 5000;

// The children that the exit hook kills. Plain atomics in static storage: the hook may run
// while other threads still work, and takes no locks.
struct LiveChild {
  std::atomic<pid_t> pid{0};
  std::atomic<int> pidfd{-1};
};
constexpr int kMaxLiveChildren = 8;
LiveChild liveChildren[kMaxLiveChildren];

// Through the pidfd where there is one: it cannot reach another process that got the pid.
int sendKill(pid_t pid, int pidfd) {
  if (pidfd >= 0) {
    return static_cast<int>(::syscall(SYS_pidfd_send_signal, pidfd, SIGKILL, nullptr, 0));
  }
  return ::kill(pid, SIGKILL);
}

void killLiveChildren() {
  for (LiveChild& child : liveChildren) {
    const pid_t pid = child.pid.load();
    if (pid > 0) (void)sendKill(pid, child.pidfd.load());
  }
  // A pidfd turns readable once its process has ended.
  for (LiveChild& child : liveChildren) {
    const int pidfd = child.pidfd.load();
    if (child.pid.load() <= 0 || pidfd < 0) continue;
    pollfd ended{pidfd, POLLIN, 0};
    while (::poll(&ended, 1, kExitHookPatienceMs) < 0 && errno == EINTR) {
    }
  }
}

int registerLiveChild(pid_t pid, int pidfd) {
  static std::once_flag hookAdded;
  std::call_once(hookAdded, [] { addExitHook(&killLiveChildren); });
  for (int slot = 0; slot < kMaxLiveChildren; ++slot) {
    pid_t expected = 0;
    if (liveChildren[slot].pid.compare_exchange_strong(expected, pid)) {
      liveChildren[slot].pidfd.store(pidfd);
      return slot;
    }
  }
  return -1;  // more children than a helper ever runs; the parent-death signal still holds
}

void unregisterLiveChild(int slot) {
  if (slot < 0) return;
  liveChildren[slot].pidfd.store(-1);
  liveChildren[slot].pid.store(0);
}

bool startsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

// "qemu-system-x86_64: message" -> "message"; absent when the line has no program prefix.
std::optional<std::string_view> withoutProgramName(std::string_view line) {
  if (!startsWith(line, "qemu")) return std::nullopt;
  const std::size_t colon = line.find(": ");
  if (colon == std::string_view::npos || line.substr(0, colon).find(' ') != std::string::npos) {
    return std::nullopt;
  }
  return line.substr(colon + 2);
}

}  // namespace

std::string describeProcessEnd(const ProcessEnd& end, std::string_view fallback) {
  std::vector<std::string> messages;
  bool inWarning = false;
  std::string_view rest = end.errorOutput;
  while (!rest.empty()) {
    const std::size_t newline = rest.find('\n');
    std::string_view line = rest.substr(0, newline);
    rest = newline == std::string_view::npos ? std::string_view() : rest.substr(newline + 1);
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.remove_suffix(1);
    if (line.empty()) continue;

    if (auto message = withoutProgramName(line)) {
      inWarning = startsWith(*message, "warning: ");
      if (!inWarning) messages.emplace_back(*message);
    } else if (inWarning) {
      continue;  // a hint that belongs to a warning
    } else if (!messages.empty()) {
      messages.back() += ' ';  // a hint line continues its message
      messages.back() += line;
    } else {
      messages.emplace_back(line);
    }
  }

  std::string description;
  for (const std::string& message : messages) {
    if (!description.empty()) description += "; ";
    description += message;
  }
  if (!description.empty()) return description;
  if (!fallback.empty()) return std::string(fallback);
  if (WIFEXITED(end.waitStatus)) {
    return "QEMU exited with status " + std::to_string(WEXITSTATUS(end.waitStatus));
  }
  if (WIFSIGNALED(end.waitStatus)) {
    const int signal = WTERMSIG(end.waitStatus);
    const char* name = ::sigdescr_np(signal);
    return "QEMU was killed by signal " + std::to_string(signal) +
           (name ? " (" + std::string(name) + ")" : "");
  }
  return "QEMU ended";
}

Result<std::unique_ptr<QemuProcess>> QemuProcess::launch(const std::vector<std::string>& argv,
                                                         int outputFd,
                                                         const std::vector<int>& passFds,
                                                         Handlers handlers) {
  UniqueFd devNull(::open("/dev/null", O_RDWR | O_CLOEXEC));
  if (!devNull.valid()) return errorFromErrno("cannot open /dev/null", errno);
  int sockets[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sockets) != 0) {
    return errorFromErrno("cannot create the QMP socket", errno);
  }
  UniqueFd qmp(sockets[0]);
  UniqueFd qmpForChild(sockets[1]);
  int pipeEnds[2];
  if (::pipe2(pipeEnds, O_CLOEXEC) != 0) return errorFromErrno("cannot create a pipe", errno);
  UniqueFd errors(pipeEnds[0]);
  UniqueFd errorsForChild(pipeEnds[1]);

  ChildSetup setup;
  setup.descriptors = {devNull.get(), outputFd >= 0 ? outputFd : devNull.get(),
                       errorsForChild.get(), qmpForChild.get()};
  static_assert(kQmpDescriptor == 3 && kFirstPassedDescriptor == 4, "descriptors 0 to 3, then 4");
  setup.descriptors.insert(setup.descriptors.end(), passFds.begin(), passFds.end());
  // A terminal's signals are for the helper, which ignores them.
  setup.ownProcessGroup = true;
  Result<pid_t> spawned = spawnChild(argv, setup);
  if (!spawned) return spawned.error();
  const pid_t pid = *spawned;

  UniqueFd pidfd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
  return std::unique_ptr<QemuProcess>(new QemuProcess(pid, std::move(pidfd), std::move(qmp),
                                                      std::move(errors), std::move(handlers)));
}

QemuProcess::QemuProcess(pid_t pid, UniqueFd pidfd, UniqueFd qmp, UniqueFd errors,
                         Handlers handlers)
    : pid_(pid),
      pidfd_(std::move(pidfd)),
      qmp_(std::move(qmp)),
      errors_(std::move(errors)),
      handlers_(std::move(handlers)) {
  slot_ = registerLiveChild(pid_, pidfd_.get());
  watcher_ = DetachedThread([this] { watch(); });
}

QemuProcess::~QemuProcess() {
  kill();
  watcher_.wait();
}

Status QemuProcess::send(std::string_view text, int passFd) {
  return sendQmp(qmp_.get(), text, passFd);
}

void QemuProcess::kill() {
  if (reaped_.load()) return;
  (void)sendKill(pid_, pidfd_.get());
}

void QemuProcess::watch() {
  QmpFramer framer;
  std::string errorOutput;
  char buffer[4096];
  bool qmpOpen = true;
  bool errorsOpen = true;
  // Blocks until QEMU writes or ends: an idle machine costs no wake-ups here.
  while (qmpOpen || errorsOpen) {
    pollfd fds[2] = {{qmpOpen ? qmp_.get() : -1, POLLIN, 0},
                     {errorsOpen ? errors_.get() : -1, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[0].revents != 0) {
      ssize_t got = ::recv(qmp_.get(), buffer, sizeof buffer, 0);
      if (got > 0) {
        framer.feed(std::string_view(buffer, static_cast<std::size_t>(got)), handlers_.message);
      } else if (got == 0 || errno != EINTR) {
        qmpOpen = false;
      }
    }
    if (fds[1].revents != 0) {
      ssize_t got = ::read(errors_.get(), buffer, sizeof buffer);
      if (got > 0) {
        errorOutput.append(buffer, static_cast<std::size_t>(got));
        if (errorOutput.size() > kErrorTail) {
          errorOutput.erase(0, errorOutput.size() - kErrorTail);
          // Keep whole lines only.
          const std::size_t newline = errorOutput.find('\n');
          errorOutput.erase(0, newline == std::string::npos ? 0 : newline + 1);
        }
      } else if (got == 0 || errno != EINTR) {
        errorsOpen = false;
      }
    }
  }

  // Wait for the end without reaping, so that the pid cannot be reused while the exit hook may
  // still signal it; then leave the hook's list and reap.
  siginfo_t info{};
  while (::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOWAIT) < 0 && errno == EINTR) {
  }
  unregisterLiveChild(slot_);
  reaped_.store(true);
  int status = 0;
  while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  handlers_.ended(ProcessEnd{status, std::move(errorOutput)});
}

}  // namespace tovan
