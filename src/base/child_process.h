// Starting another program as this helper's child, with exactly what it should inherit.
//
// The child starts with default signal dispositions and an empty signal mask (the helper ignores
// SIGTERM, SIGINT, SIGHUP and SIGPIPE, and ignored signals would stay ignored across exec), only
// the descriptors it is given, and, on Linux, the death signal SIGKILL for when the thread that
// started it ends: such a child never outlives the helper, so that thread must live as long as
// the helper does. A program that cannot be executed is reported to the caller, not left to the
// child to say.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "base/result.h"

namespace tovan {

struct ChildSetup {
  // descriptors[i] becomes the child's descriptor i (0, 1, 2 and on); every other descriptor is
  // closed at exec. Must hold at least 0 to 2.
  std::vector<int> descriptors;
  // Its own process group, so that a terminal's signals meant for the helper miss it.
  bool ownProcessGroup = false;
};

// Forks and executes argv[0] (a path: no search, no shell) with argv from the calling thread.
// Fails, having reaped the child, when the program could not be executed: "cannot execute
// <path>: <reason>". Async-signal-safe in the child; everything it needs is prepared before fork.
Result<pid_t> spawnChild(const std::vector<std::string>& argv, const ChildSetup& setup);

}  // namespace tovan
