// Helpers shared by the QEMU backend's tests: looking for QEMU processes, waiting for
// completions on a machine's queue, reading console logs.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "base/result.h"
#include "platform/platform.h"

namespace tovan::qemutest {

// Generous bounds that only keep a broken test from hanging; no test relies on them.
constexpr std::chrono::seconds kPatience{180};

std::vector<std::string> splitLines(const std::string& text);  // "\r\n" or "\n"

// True while the process exists and has not yet ended (a zombie has ended).
bool processIsAlive(pid_t pid);

// QEMU processes that are alive and hold a file whose path mentions `marker` (a test's
// directory).
std::vector<pid_t> qemuProcessesWith(const std::string& marker);

// Waits until no live QEMU mentions `marker`, or kPatience has passed; returns those left.
std::vector<pid_t> awaitNoQemuWith(const std::string& marker);

// Waits until `predicate` holds for the file's content; returns the last content seen.
std::string awaitFile(const std::string& path,
                      const std::function<bool(const std::string&)>& predicate);

// Runs `operation` on `queue` and waits for the completion it is given. Absent error: success.
// Throws if the completion never comes.
std::optional<Error> completeOn(SerialQueue& queue,
                                const std::function<void(Completion)>& operation);

}  // namespace tovan::qemutest
