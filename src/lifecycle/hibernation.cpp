#include "lifecycle/hibernation.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <optional>
#include <string>
#include <utility>

#include "base/exit.h"
#include "base/files.h"
#include "base/unique_fd.h"
#include "events/catalogue.h"
#include "events/event.h"
#include "lifecycle/state.h"

namespace tovan {

namespace {

void runIfGiven(const std::function<void()>& action) {
  if (action) action();
}

// Rolls back after a failed save or move: what was written goes (once the guest runs again it is
// stale), the paused machine runs again, and "running" follows once the resume has completed,
// whether or not it succeeded; then `onIncomplete`, so that a stop it asks for reaches a machine
// that can take it.
void resumeAfterFailure(Machine& machine, const std::string& partialPath,
                        std::function<void()> onIncomplete) {
  removeFileQuietly(partialPath);
  machine.resume([onIncomplete = std::move(onIncomplete)](std::optional<Error>) {
    emit(catalogue::running());
    runIfGiven(onIncomplete);
  });
}

// Moves the finished state file at `partialPath` to `statePath` so that it survives a host crash:
// the file's data reaches the disk before the rename, and the rename before this returns.
Status commitStateFile(const std::string& partialPath, const std::string& statePath) {
  Result<UniqueFd> partial = openFile(partialPath, O_RDONLY);
  if (!partial) return partial.error();
  if (Status synced = syncFile(partial->get(), partialPath); !synced) return synced;
  if (Status moved = moveFile(partialPath, statePath, Replace::allowed); !moved) return moved;
  // The file is complete and in place; should the directory refuse to sync, undoing the rename
  // would lose the only copy of the state, so the outcome stands.
  (void)syncDirectoryOf(statePath);
  return {};
}

}  // namespace

void hibernateAndExit(Machine& machine, std::function<void()> onIncomplete) {
  if (!machine.canPause()) {
    emit(catalogue::cannotHibernateNotRunning());
    runIfGiven(onIncomplete);
    return;
  }
  std::string statePath = savePath;
  // Beside the final file, so that the move is a rename within one file system.
  std::string partialPath = statePath + ".part";
  busy = true;
  emit(catalogue::saving());
  // A leftover from an earlier attempt must never become the state by itself.
  removeFileQuietly(partialPath);

  Machine* paused = &machine;
  machine.pause([paused, onIncomplete = std::move(onIncomplete), statePath,
                 partialPath](std::optional<Error> pauseError) mutable {
    if (pauseError) {
      // The machine never stopped running, so there is nothing to resume.
      busy = false;
      emit(catalogue::pauseFailed(pauseError->description));
      emit(catalogue::running());
      runIfGiven(onIncomplete);
      return;
    }
    paused->saveMachineState(partialPath, [paused, onIncomplete = std::move(onIncomplete),
                                           statePath, partialPath](std::optional<Error> saveError) {
      if (saveError) {
        busy = false;
        emit(catalogue::saveFailed(saveError->description));
        resumeAfterFailure(*paused, partialPath, onIncomplete);
        return;
      }
      // An older state must not outlive this attempt: were the move to fail and the guest run
      // on, restoring that older state over a newer disk would corrupt the guest's file systems.
      removeFileQuietly(statePath);
      Status committed = commitStateFile(partialPath, statePath);
      busy = false;
      if (committed) {
        // The machine stays paused: the process ends with it.
        emit(catalogue::hibernated());
        exitProcess(0);
      }
      emit(catalogue::finalizeSnapshotFailed(committed.error().description));
      resumeAfterFailure(*paused, partialPath, onIncomplete);
    });
  });
}

}  // namespace tovan
