// Runs a host program with a time bound, for the clean-up steps at the end of standard input.
#pragma once

#include <string>
#include <vector>

namespace tovan {

// Runs the executable at argv[0] with argv[1..] as its arguments (no shell, no search path) and
// gives it `seconds` to end. The child starts with default signal dispositions, an empty signal
// mask, and the null device as its standard input, output and error, so it can neither read the
// parent's commands nor write into the event stream. It inherits no other descriptor of the
// helper's, so it cannot hold a pipe or socket open behind the helper's back; on Linux it dies
// with the calling thread.
// A child still running at the deadline is sent SIGTERM, then SIGKILL if it ignores that, and
// is reaped. Reports nothing: neither a launch failure nor the program's status reaches the
// caller. Blocks the calling thread. `argv` must not be empty.
void runBounded(const std::vector<std::string>& argv, double seconds);

}  // namespace tovan
