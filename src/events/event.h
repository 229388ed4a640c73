// The events the helper sends to its parent, and `emit`, their one writer.
//
// Every event is one compact JSON object with exactly two string members: "event" (the kind)
// and one of "state", "line" or "message". `emit` may be called from any thread.
#pragma once

#include <string>

namespace tovan {

enum class EventKind { state, log, error };

struct Event {
  EventKind kind;
  std::string text;  // the state name, the log line or the error message

  static Event state(std::string name) { return {EventKind::state, std::move(name)}; }
  static Event log(std::string line) { return {EventKind::log, std::move(line)}; }
  static Event error(std::string message) { return {EventKind::error, std::move(message)}; }
  bool operator==(const Event&) const = default;
};

// The wire form of an event: one compact JSON object followed by one line feed. Text that is not
// valid UTF-8 is sent all the same, each invalid sequence replaced by U+FFFD, so no event is
// ever dropped.
std::string serializeEvent(const Event& event);

// Writes the event's line to standard output in one unbuffered, whole write under `ioLock`.
// Returns once the line has been handed to the OS; a closed or broken standard output is ignored.
void emit(const Event& event);

}  // namespace tovan
