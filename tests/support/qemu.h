// What the QEMU backend's tests share: GoogleTest, and a look at the QEMU processes of a test.
#pragma once

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "gmock/gmock.h"
#include "support/child_process.h"

namespace tovan::test {

// Generous bounds that only keep a broken test from hanging; no test relies on them.
constexpr std::chrono::seconds kPatience{180};

// The description of a failed result, or "ok".
template <class R>
std::string describe(const R& result) {
  return result.ok() ? "ok" : result.error().description;
}

// Live QEMU processes that hold a file whose path mentions `marker` (a test's directory): QEMU
// gets the machine's files as descriptors, so its open files tell whose it is.
inline std::vector<pid_t> qemuProcessesWith(const std::string& marker) {
  namespace fs = std::filesystem;
  std::vector<pid_t> found;
  std::error_code error;
  for (const auto& process : fs::directory_iterator("/proc", error)) {
    // A process that has ended (a zombie, state Z or X in its stat) holds nothing any more.
    const std::string stat = readFileOrEmpty(process.path() / "stat");
    const std::size_t state = stat.rfind(") ") + 2;
    if (readFileOrEmpty(process.path() / "cmdline").find("qemu-system") == std::string::npos ||
        state >= stat.size() || stat[state] == 'Z' || stat[state] == 'X') {
      continue;
    }
    std::error_code gone;
    for (const auto& fd : fs::directory_iterator(process.path() / "fd", gone)) {
      std::error_code unreadable;
      if (fs::read_symlink(fd.path(), unreadable).string().find(marker) != std::string::npos) {
        found.push_back(std::stoi(process.path().filename()));
        break;
      }
    }
  }
  return found;
}

// Waits until there are none, or kPatience has passed; returns those left.
inline std::vector<pid_t> awaitNoQemuWith(const std::string& marker) {
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  std::vector<pid_t> left = qemuProcessesWith(marker);
  while (!left.empty() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    left = qemuProcessesWith(marker);
  }
  return left;
}

}  // namespace tovan::test
