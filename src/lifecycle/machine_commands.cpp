#include "lifecycle/machine_commands.h"

#include <memory>

#include "events/catalogue.h"
#include "events/event.h"
#include "lifecycle/hibernation.h"
#include "lifecycle/state.h"

namespace tovan {

namespace {

// Failures are dropped: at the end of input nobody is left to act on them.
void requestStopQuietly(Machine& machine) {
  if (machine.canRequestStop()) (void)machine.requestStop();
}

}  // namespace

void stopWorkItem() {
  if (!vm) return;
  if (!vm->canRequestStop()) {
    emit(catalogue::stopRequestedBeforeRunning());
    return;
  }
  if (Status requested = vm->requestStop(); !requested) {
    emit(catalogue::requestStopFailed(requested.error().description));
  }
}

void hibernateWorkItem() {
  if (!hostPlatform().canSaveAndRestore()) {
    emit(catalogue::hibernationRequiresNewerHost());
    return;
  }
  if (!vm) return;
  hibernateAndExit(*vm, nullptr);
}

namespace {
bool freezePutOff = false;  // vmQueue only
}  // namespace

void freezeWorkItem() {
  // A start, restore or save under way is not interrupted.
  freezePutOff = busy;
  if (busy) return;
  if (!vm) exitProcess(0);
  if (!hostPlatform().canSaveAndRestore()) {
    requestStopQuietly(*vm);
    return;
  }
  Machine* machine = vm;
  hibernateAndExit(*machine, [machine] { requestStopQuietly(*machine); });
}

bool machineIsBusy(double patience) {
  auto copy = std::make_shared<bool>(true);
  const bool answered = vmQueue().syncFor(
      [copy] {
        if (!busy && freezePutOff) freezeWorkItem();
        *copy = busy;
      },
      patience);
  // A queue that cannot answer in time is stuck in something: that is busy too.
  return !answered || *copy;
}

}  // namespace tovan
