// The simulated platform's one timer thread: it waits for the earliest deadline and then hands
// the due work to its machine's queue. Nothing is polled: with nothing scheduled the thread
// sleeps until something is, and it is only started by the first schedule.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

namespace tovan {

class SimTimer {
 public:
  using Clock = std::chrono::steady_clock;

  SimTimer() = default;
  // Joins the thread; whatever is still scheduled is dropped.
  ~SimTimer();
  SimTimer(const SimTimer&) = delete;
  SimTimer& operator=(const SimTimer&) = delete;

  // Calls `post` on the timer thread once `deadline` has passed, with the timer's lock held: it
  // must only hand work on (for example to a SerialQueue) and never call back into the timer.
  // Entries with the same deadline run in the order they were scheduled. Any thread.
  void schedule(Clock::time_point deadline, const void* owner, std::function<void()> post);

  // Drops every entry of `owner`. Once this returns none of them runs or is running. Any thread
  // but the timer thread.
  void cancel(const void* owner);

 private:
  struct Entry {
    const void* owner;
    std::function<void()> post;
  };

  void run();

  std::mutex mutex_;
  std::condition_variable wake_;
  std::multimap<Clock::time_point, Entry> entries_;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace tovan
