#include "base/timer.h"

namespace tovan {

Timer::~Timer() {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    stopping_ = true;
  }
  wake_.notify_one();
  if (thread_.joinable()) thread_.join();
}

Timer::Id Timer::schedule(Clock::time_point deadline, std::function<void()> post,
                          const void* owner) {
  Id id = 0;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    id = nextId_++;
    entries_.emplace(deadline, Entry{id, owner, std::move(post)});
    if (!thread_.joinable()) thread_ = std::thread([this] { run(); });
  }
  wake_.notify_one();
  return id;
}

Timer::Id Timer::scheduleIn(double seconds, std::function<void()> post, const void* owner) {
  const auto delay = std::chrono::duration_cast<Clock::duration>(
      std::chrono::duration<double>(seconds > 0 ? seconds : 0));
  return schedule(Clock::now() + delay, std::move(post), owner);
}

void Timer::cancel(Id id) {
  std::lock_guard<std::mutex> guard(mutex_);
  std::erase_if(entries_, [id](const auto& entry) { return entry.second.id == id; });
}

void Timer::cancelAll(const void* owner) {
  std::lock_guard<std::mutex> guard(mutex_);
  std::erase_if(entries_, [owner](const auto& entry) { return entry.second.owner == owner; });
}

void Timer::run() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stopping_) {
    if (entries_.empty()) {
      wake_.wait(lock);
      continue;
    }
    auto first = entries_.begin();
    if (Clock::now() < first->first) {
      const Clock::time_point due = first->first;  // the entry may be cancelled meanwhile
      wake_.wait_until(lock, due);
      continue;
    }
    std::function<void()> post = std::move(first->second.post);
    entries_.erase(first);
    post();
  }
}

Timer& processTimer() {
  static Timer* timer = new Timer;
  return *timer;
}

}  // namespace tovan
