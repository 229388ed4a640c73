// The one way the helper ends once it has started, and the lock that keeps its output whole.
#pragma once

#include <mutex>

namespace tovan {

// The lock around every write of an event line to standard output (`ioLock`). Created on first
// use and never destroyed, so that a thread writing while another exits never meets a destroyed
// mutex; timed, so that an exit is not held for ever behind a parent that stopped reading.
std::timed_mutex& ioLock();

// Takes ioLock for good so that no event line can be started or cut short (waiting at most 5 s
// for a writer blocked on a full pipe), runs the exit hooks, flushes the C streams and ends the
// process with `status` without running static destructors, whatever other threads are doing.
// Every path that ends the helper after start-up goes through here.
[[noreturn]] void exitProcess(int status);

// Registers a function that exitProcess calls before the process ends (at most a few, for
// example to end a machine process). The function must be async-signal-safe in spirit: no locks
// that another thread might hold, no allocation.
void addExitHook(void (*hook)());

}  // namespace tovan
