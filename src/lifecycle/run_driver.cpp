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

// Beside the saved state: where it goes once restored, never to be restored again, and where it
// waits when the host, not the state, made its restore fail.
std::string consumedPathOf(const std::string& statePath) { return statePath + ".consumed"; }
std::string asidePathOf(const std::string& statePath) { return statePath + ".aside"; }

// A state the host could not restore, kept aside while the machine cold-boots. vmQueue only.
std::optional<std::string> keptAside;

// Moves a state file and syncs its directory, so that the move survives a crash.
Status moveDurably(const std::string& from, const std::string& to) {
  if (Status moved = moveFile(from, to, Replace::allowed); !moved) return moved;
  return syncDirectoryOf(to);
}

// What a crash may have left beside the save path, settled before anything reads it: a partial
// state never becomes one, a consumed state is never restored again, and a state kept aside for
// the host's sake goes back to be tried again.
void tidySavedStates(const std::string& statePath) {
  removeFileQuietly(statePath + ".part");
  removeFileQuietly(consumedPathOf(statePath));
  const std::string aside = asidePathOf(statePath);
  if (!pathExists(statePath) && pathExists(aside)) (void)moveDurably(aside, statePath);
}

// Marks the machine busy, emits state "starting" and boots it; "running" follows, or the
// "start failed: " error and exit status 1. A state kept aside goes once the machine runs, and
// back into place when it cannot: the next run can resume it then.
void coldStart(Machine& machine, const std::string& statePath) {
  busy = true;
  emit(catalogue::starting());
  machine.start([statePath](std::optional<Error> error) {
    busy = false;
    if (error) {
      if (keptAside && *keptAside != statePath) (void)moveDurably(*keptAside, statePath);
      emit(catalogue::startFailed(error->description));
      exitProcess(1);
    }
    emit(catalogue::running());
    if (keptAside) removeFileQuietly(*std::exchange(keptAside, std::nullopt));
  });
}

void resumeRestored(Machine& machine, const std::string& statePath) {
  // Before the guest runs again, the state is moved where no run will restore it: from here on
  // the guest runs ahead of it.
  const std::string consumed = consumedPathOf(statePath);
  if (Status moved = moveDurably(statePath, consumed); !moved) {
    // A state that cannot be taken out of the way stays restorable: the guest must not run
    // ahead of it. It stays for a run that can.
    (void)moveFile(consumed, statePath, Replace::never);
    emit(catalogue::resumeAfterRestoreFailed(moved.error().description));
    exitProcess(1);
  }
  machine.resume([statePath, consumed](std::optional<Error> error) {
    busy = false;
    if (error) {
      // The guest never ran, so the state is still good: the next run can try it again.
      (void)moveDurably(consumed, statePath);
      emit(catalogue::resumeAfterRestoreFailed(error->description));
      exitProcess(1);
    }
    emit(catalogue::running());
    removeFileQuietly(consumed);
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
    if (error->savedStateAtFault) {
      // Damaged, foreign or stale: of no use to any run.
      removeFileQuietly(statePath);
      (void)syncDirectoryOf(statePath);
    } else {
      // The host failed, not the state: it waits aside until the machine has run without it.
      // Where it cannot be moved, it waits in place (the disk's identity guards it).
      keptAside = asidePathOf(statePath);
      if (!moveDurably(statePath, *keptAside)) keptAside = statePath;
    }
    coldStart(*restored, statePath);
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
  if (!platform.canSaveAndRestore()) return coldStart(*vm, config.savePath);
  tidySavedStates(config.savePath);
  if (pathExists(config.savePath)) {
    restore(*vm, config.savePath);
  } else {
    coldStart(*vm, config.savePath);
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
