#include "platform/sim/sim_timer.h"

namespace tovan {

SimTimer::~SimTimer() {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    stopping_ = true;
  }
  wake_.notify_one();
  if (thread_.joinable()) thread_.join();
}

void SimTimer::schedule(Clock::time_point deadline, const void* owner, std::function<void()> post) {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    entries_.emplace(deadline, Entry{owner, std::move(post)});
    if (!thread_.joinable()) thread_ = std::thread([this] { run(); });
  }
  wake_.notify_one();
}

void SimTimer::cancel(const void* owner) {
  std::lock_guard<std::mutex> guard(mutex_);
  std::erase_if(entries_, [owner](const auto& entry) { return entry.second.owner == owner; });
}

void SimTimer::run() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stopping_) {
    if (entries_.empty()) {
      wake_.wait(lock);
      continue;
    }
    auto first = entries_.begin();
    if (Clock::now() < first->first) {
      wake_.wait_until(lock, first->first);
      continue;
    }
    std::function<void()> post = std::move(first->second.post);
    entries_.erase(first);
    post();
  }
}

}  // namespace tovan
