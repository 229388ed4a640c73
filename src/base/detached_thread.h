// A thread that is detached from the start, and an owner that can still wait for it.
//
// The helper ends through _exit while helper threads may still run or have just finished. A
// joinable thread that finished and was never joined is a leak to the sanitizers; a detached one
// is not, and its owner keeps a way to wait for the end of its work.
#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

namespace tovan {

class DetachedThread {
 public:
  DetachedThread() = default;
  // Runs `body` on a new detached thread.
  explicit DetachedThread(std::function<void()> body);
  // Waits for the body to return.
  ~DetachedThread();
  DetachedThread(DetachedThread&&) = default;
  DetachedThread& operator=(DetachedThread&& other);

  // Returns once the body has returned; at once when there is none.
  void wait();

 private:
  struct Finish {
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
  };
  std::shared_ptr<Finish> finish_;
};

}  // namespace tovan
