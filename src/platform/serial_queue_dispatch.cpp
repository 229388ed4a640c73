// The machine's queue on macOS: a libdispatch serial queue, which the Virtualization framework
// takes as the queue its machine lives on.
#include <dispatch/dispatch.h>

#include "platform/serial_queue.h"

namespace tovan {

struct SerialQueue::State {
  std::string label;
  dispatch_queue_t queue;
};

namespace {

void runAndDelete(void* context) {
  auto* work = static_cast<SerialQueue::Work*>(context);
  (*work)();
  delete work;
}

void runInPlace(void* context) { (*static_cast<SerialQueue::Work*>(context))(); }

}  // namespace

SerialQueue::SerialQueue(std::string label) : state_(std::make_unique<State>()) {
  state_->label = std::move(label);
  state_->queue = dispatch_queue_create(state_->label.c_str(), DISPATCH_QUEUE_SERIAL);
  dispatch_queue_set_specific(state_->queue, state_.get(), state_.get(), nullptr);
}

SerialQueue::~SerialQueue() {
  dispatch_sync_f(state_->queue, nullptr, [](void*) {});  // drain
  dispatch_release(state_->queue);
}

void SerialQueue::async(Work work) {
  dispatch_async_f(state_->queue, new Work(std::move(work)), runAndDelete);
}

void SerialQueue::sync(Work work) { dispatch_sync_f(state_->queue, &work, runInPlace); }

bool SerialQueue::isCurrent() const { return dispatch_get_specific(state_.get()) == state_.get(); }

const std::string& SerialQueue::label() const { return state_->label; }

void* SerialQueue::dispatchQueue() const { return state_->queue; }

}  // namespace tovan
