#include "lifecycle/vm_delegate.h"

#include "base/exit.h"
#include "events/catalogue.h"
#include "events/event.h"

namespace tovan {

void VMDelegate::guestDidStop() {
  emit(catalogue::stopped());
  exitProcess(0);
}

void VMDelegate::didStopWithError(const Error& error) {
  emit(catalogue::guestStoppedWithError(error.description));
  exitProcess(1);
}

void VMDelegate::networkAttachmentWasDisconnected(const Error& error) {
  emit(catalogue::networkDetached(error.description));
}

}  // namespace tovan
