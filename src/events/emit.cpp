#include <unistd.h>

#include <mutex>
#include <nlohmann/json.hpp>

#include "base/exit.h"
#include "base/files.h"
#include "events/event.h"

namespace tovan {

namespace {

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

}  // namespace tovan
