#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "platform/serial_queue.h"

namespace tovan {

struct SerialQueue::State {
  std::string label;
  std::mutex mutex;
  std::condition_variable wake;
  std::deque<Work> pending;
  bool closing = false;
  std::thread::id runner;
  std::thread thread;

  void run() {
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
      wake.wait(lock, [this] { return closing || !pending.empty(); });
      if (pending.empty()) return;  // closing and drained
      Work work = std::move(pending.front());
      pending.pop_front();
      lock.unlock();
      work();
      work = nullptr;  // release captures outside the lock
      lock.lock();
    }
  }
};

SerialQueue::SerialQueue(std::string label) : state_(std::make_unique<State>()) {
  state_->label = std::move(label);
  state_->thread = std::thread([state = state_.get()] { state->run(); });
  std::lock_guard<std::mutex> guard(state_->mutex);
  state_->runner = state_->thread.get_id();
}

SerialQueue::~SerialQueue() {
  {
    std::lock_guard<std::mutex> guard(state_->mutex);
    state_->closing = true;
  }
  state_->wake.notify_one();
  state_->thread.join();
}

void SerialQueue::async(Work work) {
  {
    std::lock_guard<std::mutex> guard(state_->mutex);
    state_->pending.push_back(std::move(work));
  }
  state_->wake.notify_one();
}

void SerialQueue::sync(Work work) {
  std::mutex doneMutex;
  std::condition_variable doneWake;
  bool done = false;
  async([&] {
    work();
    std::lock_guard<std::mutex> guard(doneMutex);
    done = true;
    doneWake.notify_one();
  });
  std::unique_lock<std::mutex> lock(doneMutex);
  doneWake.wait(lock, [&] { return done; });
}

bool SerialQueue::isCurrent() const {
  std::lock_guard<std::mutex> guard(state_->mutex);
  return std::this_thread::get_id() == state_->runner;
}

const std::string& SerialQueue::label() const { return state_->label; }

}  // namespace tovan
