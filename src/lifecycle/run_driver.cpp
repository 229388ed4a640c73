#include "lifecycle/run_driver.h"

#include <unistd.h>

#include <optional>
#include <string>

#include "base/exit.h"
#include "base/files.h"
#include "base/machine_lock.h"
#include "events/catalogue.h"
#include "events/event.h"
#include "lifecycle/commands.h"
#include "lifecycle/state.h"
#include "lifecycle/vm_delegate.h"
#include "machine/build_configuration.h"

namespace tovan {

namespace {

// Marks the machine busy, emits state "starting" and boots it; "running" follows, or the
// "start failed: " error and exit status 1.
void coldStart(Machine& machine) {
  busy = true;
  emit(catalogue::starting());
  machine.start([](std::optional<Error> error) {
    busy = false;
    if (error) {
      emit(catalogue::startFailed(error->description));
      exitProcess(1);
    }
    emit(catalogue::running());
  });
}

void resumeRestored(Machine& machine, const std::string& statePath) {
  machine.resume([statePath](std::optional<Error> error) {
    busy = false;
    if (error) {
      // The state file stays, so the next run can try it again.
      emit(catalogue::resumeAfterRestoreFailed(error->description));
      exitProcess(1);
    }
    // The guest now runs ahead of the saved state; it must never be restored again.
    removeFileQuietly(statePath);
    emit(catalogue::running());
  });
}

void restore(Machine& machine, const std::string& statePath) {
  busy = true;
  emit(catalogue::restoring());
  Machine* restored = &machine;
  machine.restoreMachineState(statePath, [restored, statePath](std::optional<Error> error) {
    if (!error) {
      resumeRestored(*restored, statePath);  // still busy until the resume completes
      return;
    }
    busy = false;
    emit(catalogue::restoreFailed(error->description));
    removeFileQuietly(statePath);
    coldStart(*restored);
  });
}

// The first work item on vmQueue: every later one finds `vm` set, or never runs.
void boot(const HelperConfig& config) {
  Platform& platform = hostPlatform();
  Result<MachineConfiguration> built = buildConfiguration(config, platform);
  if (!built) {
    emit(catalogue::configurationError(built.error().description));
    exitProcess(1);
  }
  vm = platform.createMachine(std::move(*built), vmQueue()).release();
  if (auto reason = platform.softwareEmulationReason()) emit(catalogue::softwareEmulation(*reason));
  vm->setDelegate(&vmDelegate());
  // The host is asked first: where it cannot restore, a state file is left as it is.
  if (platform.canSaveAndRestore() && pathExists(config.savePath)) {
    restore(*vm, config.savePath);
  } else {
    coldStart(*vm);
  }
}

// One helper per machine: a second helper on the same machine would boot it again beside the
// first, or write its disk under a state being saved. The lock beside the saved state is held
// until this process ends. Where it cannot be taken at all (no such directory), the machine runs
// unlocked, as every file the helper needs there would fail the same way.
void holdMachine(const HelperConfig& config) {
  const std::string lockPath = config.savePath + ".lock";
  Result<LockAttempt> attempt = lockExclusively(lockPath);
  if (!attempt) return;
  if (attempt->held.valid()) {
    (void)attempt->held.release();  // open, and so held, until the process ends
    return;
  }
  std::string holder = "another helper";
  if (attempt->holder) holder += " (pid " + std::to_string(*attempt->holder) + ")";
  emit(catalogue::machineHeldElsewhere(holder + " holds " + quotedPath(lockPath)));
  exitProcess(1);
}

[[noreturn]] void parkForever() {
  // Every signal that could end pause() is ignored, so this thread never wakes; the loop only
  // guards against a spurious return.
  for (;;) ::pause();
}

}  // namespace

void runVM(const HelperConfig& config) {
  holdMachine(config);
  savePath = config.savePath;
  hostShareName = config.isolated ? std::nullopt : config.vmName;
  vmQueue().async([config] { boot(config); });
  startStdinReader();
  parkForever();
}

}  // namespace tovan
