#include "lifecycle/state.h"

#include "lifecycle/vm_delegate.h"

namespace tovan {

std::string savePath;
std::optional<std::string> hostShareName;
Machine* vm = nullptr;
bool busy = false;

SerialQueue& vmQueue() {
  // Leaked on purpose: its thread must outlive every caller, up to the process's _exit.
  static SerialQueue* queue = new SerialQueue("com.tovan.vmhelper.vm");
  return *queue;
}

VMDelegate& vmDelegate() {
  static VMDelegate* delegate = new VMDelegate;
  return *delegate;
}

}  // namespace tovan
