// One thread that waits for the earliest of a set of deadlines and then hands the due work on.
//
// Nothing is polled: with nothing scheduled the thread sleeps until something is, and it is only
// started by the first schedule. Used for the deadlines of the QEMU machine's commands and the
// simulated machine's scripted delays.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

namespace tovan {

class Timer {
 public:
  using Clock = std::chrono::steady_clock;
  using Id = std::uint64_t;

  Timer() = default;
  // Joins the thread; whatever is still scheduled is dropped.
  ~Timer();
  Timer(const Timer&) = delete;
  Timer& operator=(const Timer&) = delete;

  // Calls `post` on the timer thread once `deadline` has passed, with the timer's lock held: it
  // must only hand work on (for example to a SerialQueue) and never call back into the timer.
  // Entries with the same deadline run in the order they were scheduled. Any thread.
  Id schedule(Clock::time_point deadline, std::function<void()> post, const void* owner = nullptr);
  // Same, `seconds` from now.
  Id scheduleIn(double seconds, std::function<void()> post, const void* owner = nullptr);

  // Drops one entry, or every entry of `owner`. Once this returns, none of them runs or is
  // running. Any thread but the timer thread.
  void cancel(Id id);
  void cancelAll(const void* owner);

 private:
  struct Entry {
    Id id;
    const void* owner;
    std::function<void()> post;
  };

  void run();

  std::mutex mutex_;
  std::condition_variable wake_;
  std::multimap<Clock::time_point, Entry> entries_;
  Id nextId_ = 1;
  bool stopping_ = false;
  std::thread thread_;
};

// The process's own timer, started on first use and never destroyed, so that its thread
// outlives every user up to the process's _exit.
Timer& processTimer();

}  // namespace tovan
