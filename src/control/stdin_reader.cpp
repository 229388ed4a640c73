#include "control/stdin_reader.h"

#include <unistd.h>

#include <thread>

#include "control/command_reader.h"
#include "control/host_share.h"
#include "events/catalogue.h"
#include "events/event.h"
#include "lifecycle/machine_commands.h"
#include "lifecycle/state.h"
#include "platform/platform.h"

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
  std::thread([] {
    hostPlatform().sleepFor(kWindDownBound);
    exitProcess(0);
  }).detach();
  // The share goes first: a share still mounted when the guest serving it freezes can hang the
  // host until the guest is woken or the host restarts.
  if (hostShareName && !unmountHostShare(*hostShareName)) {
    emit(catalogue::hostShareSurvivedUnmount(*hostShareName));
  }
  vmQueue().async(freezeWorkItem);
  // Each look queues behind the freeze, so a save it starts is already marked busy.
  Platform& platform = hostPlatform();
  for (int look = 0; look < kBusyLooks && machineIsBusy(kBusyLookInterval); ++look) {
    platform.sleepFor(kBusyLookInterval);
  }
  // Normally the saved or stopped machine has ended the process by now; this bounds the rest.
  platform.sleepFor(kFinalGrace);
  exitProcess(0);
}

}  // namespace

void startStdinReader() {
  std::thread([] {
    readCommands(STDIN_FILENO, obey);
    windDownAndExit();
  }).detach();
}

}  // namespace tovan
