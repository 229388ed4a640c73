#include "support/qemu.h"

#include <dirent.h>

#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "support/child_process.h"

namespace tovan::qemutest {

std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

// QEMU gets the machine's files as descriptors, so its open files tell whose it is.
bool holdsFileUnder(const std::string& process, const std::string& marker) {
  std::error_code error;
  for (const auto& fd : std::filesystem::directory_iterator(process + "/fd", error)) {
    std::error_code unreadable;
    const std::string target = std::filesystem::read_symlink(fd.path(), unreadable).string();
    if (!unreadable && target.find(marker) != std::string::npos) return true;
  }
  return false;
}

bool processIsAlive(pid_t pid) {
  std::string stat = test::readFileOrEmpty("/proc/" + std::to_string(pid) + "/stat");
  const std::size_t close = stat.rfind(')');
  if (close == std::string::npos || close + 2 >= stat.size()) return false;
  return stat[close + 2] != 'Z' && stat[close + 2] != 'X';
}

std::vector<pid_t> qemuProcessesWith(const std::string& marker) {
  std::vector<pid_t> found;
  DIR* proc = ::opendir("/proc");
  if (!proc) return found;
  while (dirent* entry = ::readdir(proc)) {
    char* end = nullptr;
    const long pid = std::strtol(entry->d_name, &end, 10);
    if (pid <= 0 || *end != '\0') continue;
    const std::string process = "/proc/" + std::string(entry->d_name);
    if (test::readFileOrEmpty(process + "/cmdline").find("qemu-system") == std::string::npos ||
        !holdsFileUnder(process, marker)) {
      continue;
    }
    if (processIsAlive(static_cast<pid_t>(pid))) found.push_back(static_cast<pid_t>(pid));
  }
  ::closedir(proc);
  return found;
}

std::vector<pid_t> awaitNoQemuWith(const std::string& marker) {
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  std::vector<pid_t> left = qemuProcessesWith(marker);
  while (!left.empty() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    left = qemuProcessesWith(marker);
  }
  return left;
}

std::string awaitFile(const std::string& path,
                      const std::function<bool(const std::string&)>& predicate) {
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  std::string content = test::readFileOrEmpty(path);
  while (!predicate(content) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    content = test::readFileOrEmpty(path);
  }
  return content;
}

std::optional<Error> completeOn(SerialQueue& queue,
                                const std::function<void(Completion)>& operation) {
  struct Outcome {
    std::mutex mutex;
    std::condition_variable done;
    bool completed = false;
    std::optional<Error> error;
  };
  auto outcome = std::make_shared<Outcome>();
  queue.async([operation, outcome] {
    operation([outcome](std::optional<Error> error) {
      std::lock_guard<std::mutex> guard(outcome->mutex);
      outcome->completed = true;
      outcome->error = std::move(error);
      outcome->done.notify_all();
    });
  });
  std::unique_lock<std::mutex> lock(outcome->mutex);
  if (!outcome->done.wait_for(lock, kPatience, [&] { return outcome->completed; })) {
    throw std::runtime_error("the operation never completed");
  }
  return outcome->error;
}

}  // namespace tovan::qemutest
