#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "platform/serial_queue.h"

namespace tovan {

bool SerialQueue::syncFor(Work work, double seconds) {
  struct Done {
    std::mutex mutex;
    std::condition_variable ran;
    bool done = false;
  };
  auto done = std::make_shared<Done>();
  async([done, work = std::move(work)] {
    work();
    std::lock_guard<std::mutex> guard(done->mutex);
    done->done = true;
    done->ran.notify_all();
  });
  std::unique_lock<std::mutex> lock(done->mutex);
  return done->ran.wait_for(lock, std::chrono::duration<double>(seconds > 0 ? seconds : 0),
                            [&] { return done->done; });
}

}  // namespace tovan
