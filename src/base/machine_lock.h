// An exclusive lock that one process holds on a machine for as long as it lives.
//
// The lock is flock(2) on a small file that also names the holder's pid, so that a second
// process can say who holds it. The kernel drops it when the holder's last descriptor goes,
// however the holder ends; nothing stale is ever left to clean up.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

#include "base/result.h"
#include "base/unique_fd.h"

namespace tovan {

struct LockAttempt {
  UniqueFd held;                // valid when this process now holds the lock
  std::optional<pid_t> holder;  // otherwise: the holder's pid, when it could be read
};

// Takes the lock on `path`, creating the file when missing, and writes this process's pid into
// it. Never waits for the lock: when another process holds it, `held` is not valid. Fails when
// the file cannot be opened (a missing directory, a FIFO, no permission).
Result<LockAttempt> lockExclusively(const std::string& path);

}  // namespace tovan
