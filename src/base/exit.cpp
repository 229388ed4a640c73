#include "base/exit.h"

#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>

namespace tovan {

namespace {

constexpr int kMaxExitHooks = 4;
std::array<std::atomic<void (*)()>, kMaxExitHooks> exitHooks;

}  // namespace

std::timed_mutex& ioLock() {
  static auto* lock = new std::timed_mutex;
  return *lock;
}

void addExitHook(void (*hook)()) {
  for (auto& slot : exitHooks) {
    void (*expected)() = nullptr;
    if (slot.compare_exchange_strong(expected, hook)) return;
  }
}

void exitProcess(int status) {
  // Held until the end: no line is begun or cut short from here on. A writer blocked for seconds
  // on a full pipe means nobody reads the stream any more; the exit then goes ahead regardless.
  (void)ioLock().try_lock_for(std::chrono::seconds(5));
  for (auto& slot : exitHooks) {
    if (auto* hook = slot.load()) hook();
  }
  std::fflush(nullptr);
  ::_exit(status);
}

}  // namespace tovan
