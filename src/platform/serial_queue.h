// The serial executor that carries a machine: every machine operation, completion handler,
// delegate callback and command work item runs on it, one at a time, in submission order.
//
// On macOS this wraps a libdispatch serial queue; elsewhere it is one long-lived thread. The
// thread lives as long as the process, which matters to backends that fork from it: a child
// asked to die with its parent thread must not outlive the work that made it.
#pragma once

#include <functional>
#include <memory>
#include <string>

namespace tovan {

class SerialQueue {
 public:
  using Work = std::function<void()>;

  explicit SerialQueue(std::string label);
  // Drains the queued work and joins the thread. The helper's own queue is never destroyed.
  ~SerialQueue();
  SerialQueue(const SerialQueue&) = delete;
  SerialQueue& operator=(const SerialQueue&) = delete;

  // Queues `work` and returns at once.
  void async(Work work);
  // Queues `work` and returns once it has run. Must not be called from the queue itself.
  void sync(Work work);
  // Same, but gives up waiting after `seconds`: true when `work` has run by then. Work that has
  // not run yet still runs later, so it must own what it touches.
  bool syncFor(Work work, double seconds);
  // True when the caller is running on this queue.
  bool isCurrent() const;

  const std::string& label() const;

#if defined(__APPLE__)
  // The libdispatch queue behind this one (a dispatch_queue_t), for frameworks that run their
  // objects on a queue of their own. Objective-C++ takes it with (__bridge dispatch_queue_t).
  void* dispatchQueue() const;
#endif

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace tovan
