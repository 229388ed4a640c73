#include "base/detached_thread.h"

#include <thread>

namespace tovan {

DetachedThread::DetachedThread(std::function<void()> body) : finish_(std::make_shared<Finish>()) {
  std::thread([finish = finish_, body = std::move(body)] {
    body();
    std::lock_guard<std::mutex> guard(finish->mutex);
    finish->done = true;
    finish->finished.notify_all();
  }).detach();
}

DetachedThread::~DetachedThread() { wait(); }

DetachedThread& DetachedThread::operator=(DetachedThread&& other) {
  if (this != &other) {
    wait();
    finish_ = std::move(other.finish_);
  }
  return *this;
}

void DetachedThread::wait() {
  if (!finish_) return;
  std::unique_lock<std::mutex> lock(finish_->mutex);
  finish_->finished.wait(lock, [this] { return finish_->done; });
}

}  // namespace tovan
