#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <nlohmann/json.hpp>

#include "base/files.h"
#include "events/event.h"

namespace tovan {

namespace {

// Created on first use and never destroyed, so that a thread emitting while another exits never
// meets a destroyed mutex.
// Timed, so that an exit is not held for ever behind a write to a parent that stopped reading.
std::timed_mutex& ioLock() {
  static auto* lock = new std::timed_mutex;
  return *lock;
}

const char* keyFor(EventKind kind) {
  switch (kind) {
    case EventKind::state:
      return "state";
    case EventKind::log:
      return "line";
    case EventKind::error:
      return "message";
  }
  return "line";
}

const char* nameOf(EventKind kind) {
  switch (kind) {
    case EventKind::state:
      return "state";
    case EventKind::log:
      return "log";
    case EventKind::error:
      return "error";
  }
  return "log";
}

constexpr int kMaxExitHooks = 4;
std::array<std::atomic<void (*)()>, kMaxExitHooks> exitHooks;

}  // namespace

std::string serializeEvent(const Event& event) {
  nlohmann::ordered_json object;
  object["event"] = nameOf(event.kind);
  object[keyFor(event.kind)] = event.text;
  // Text from outside (QEMU's standard error cut inside a character, a file name) need not be
  // UTF-8; the event still goes out, each bad sequence shown as U+FFFD.
  std::string line = object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  line += '\n';
  return line;
}

void emit(const Event& event) {
  const std::string line = serializeEvent(event);
  std::lock_guard<std::timed_mutex> guard(ioLock());
  (void)writeAll(STDOUT_FILENO, line);
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
