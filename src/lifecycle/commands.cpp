#include "lifecycle/commands.h"

#include <unistd.h>

#include <memory>

#include "base/detached_thread.h"
#include "base/exit.h"
#include "control/command_reader.h"
#include "control/host_share.h"
#include "events/catalogue.h"
#include "events/event.h"
#include "lifecycle/hibernation.h"
#include "lifecycle/state.h"

namespace tovan {

namespace {

constexpr int kBusyLooks = 240;
constexpr double kBusyLookInterval = 0.5;
constexpr double kFinalGrace = 20;
// The longest the wind-down can take when everything answers: three bounded unmount attempts
// (3 s each, then 0.25 s to a SIGKILL and 1 s to reap), the looks at the machine and the final
// grace, with a few seconds to spare. Past this, the helper ends whatever is stuck.
constexpr double kWindDownBound =
    3 * (3 + 0.25 + 1) + kBusyLooks * kBusyLookInterval + kFinalGrace + 5;

bool freezePutOff = false;  // vmQueue only

// Failures are dropped: at the end of input nobody is left to act on them.
void requestStopQuietly(Machine& machine) {
  if (machine.canRequestStop()) (void)machine.requestStop();
}

void obey(Command command) {
  switch (command) {
    case Command::stop:
      vmQueue().async(stopWorkItem);
      return;
    case Command::hibernate:
      vmQueue().async(hibernateWorkItem);
      return;
    case Command::kill:
      exitProcess(0);
  }
}

[[noreturn]] void windDownAndExit() {
  // Nothing may hold the helper past its bound: not a hung unmount, not a machine queue stuck
  // in a file operation, not a parent that no longer reads the events.
  Platform& platform = hostPlatform();
  new DetachedThread([&platform] {
    platform.sleepFor(kWindDownBound);
    exitProcess(0);
  });
  // The share goes first: a share still mounted when the guest serving it freezes can hang the
  // host until the guest is woken or the host restarts.
  if (hostShareName && !unmountHostShare(*hostShareName)) {
    emit(catalogue::hostShareSurvivedUnmount(*hostShareName));
  }
  vmQueue().async(freezeWorkItem);
  // Each look queues behind the freeze, so a save it starts is already marked busy.
  for (int look = 0; look < kBusyLooks && machineIsBusy(kBusyLookInterval); ++look) {
    platform.sleepFor(kBusyLookInterval);
  }
  // Normally the saved or stopped machine has ended the process by now; this bounds the rest.
  platform.sleepFor(kFinalGrace);
  exitProcess(0);
}

}  // namespace

void startStdinReader() {
  // Never waited for: the reader ends only by ending the process.
  new DetachedThread([] {
    readCommands(STDIN_FILENO, obey);
    windDownAndExit();
  });
}

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
