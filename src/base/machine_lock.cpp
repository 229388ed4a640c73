#include "base/machine_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <thread>

#include "base/files.h"

namespace tovan {

namespace {

// The holder writes its pid right after it takes the lock; a contender that looks in between
// gives it this long to appear.
constexpr int kPidLooks = 20;
constexpr auto kPidLookInterval = std::chrono::milliseconds(5);

std::optional<pid_t> readPid(int fd) {
  for (int look = 0; look < kPidLooks; ++look) {
    char text[32];
    const ssize_t got = ::pread(fd, text, sizeof text - 1, 0);
    pid_t pid = 0;
    if (got > 0) {
      auto [end, code] = std::from_chars(text, text + got, pid);
      if (code == std::errc() && pid > 0 && end < text + got && *end == '\n') return pid;
    }
    std::this_thread::sleep_for(kPidLookInterval);
  }
  return std::nullopt;
}

}  // namespace

Result<LockAttempt> lockExclusively(const std::string& path) {
  Result<UniqueFd> file = openFile(path, O_RDWR | O_CREAT, FileKind::regular, 0644);
  if (!file) return file.error();
  LockAttempt attempt;
  while (::flock(file->get(), LOCK_EX | LOCK_NB) != 0) {
    if (errno == EINTR) continue;
    if (errno != EWOULDBLOCK) return pathError("cannot lock", path, errno);
    attempt.holder = readPid(file->get());
    return attempt;
  }
  // Only a courtesy to a contender: the lock holds whether or not the pid gets written.
  const std::string pid = std::to_string(::getpid()) + "\n";
  if (::ftruncate(file->get(), 0) == 0) {
    (void)!::pwrite(file->get(), pid.data(), pid.size(), 0);
  }
  attempt.held = std::move(*file);
  return attempt;
}

}  // namespace tovan
