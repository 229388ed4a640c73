// A machine run by QEMU and driven over QMP.
//
// Each start or restore launches a QEMU process (qemu_process.h) on the machine's queue; a
// failed restore ends its process, and the next start launches a new one of the same machine.
// Everything QEMU reports reaches the queue in order through the process's watcher thread, and
// completions and delegate callbacks are always delivered there as work items of their own.
// Every command has a deadline: a QEMU that stops answering is killed, and whatever was in
// flight fails. A guest that QEMU stops by itself (an emulation failure, a panic) is ended and
// reported to the delegate as a stop with an error, never left looking as if it ran.
#pragma once

#include <memory>

#include "base/result.h"
#include "platform/platform.h"
#include "platform/qemu/accelerator.h"
#include "platform/qemu/firmware.h"
#include "platform/qemu/qmp_session.h"

namespace tovan {

class QemuMachine final : public Machine {
 public:
  // `installation` may be a failure: starting or restoring then fails with it.
  QemuMachine(Result<QemuInstallation> installation, AcceleratorChoice accelerator,
              QmpDeadlines deadlines, MachineConfiguration configuration, SerialQueue& queue);
  // On the machine's queue, or once nothing is in flight: kills a QEMU that still runs.
  ~QemuMachine() override;

  void setDelegate(MachineDelegate* delegate) override;
  // Launches QEMU paused, sets up QMP and lifts the migration bandwidth limit, then `cont`. QEMU
  // gets the machine's files as descriptors this helper opened.
  void start(Completion done) override;
  // Launches QEMU waiting for an incoming migration and feeds it the file at `path`. On failure
  // that QEMU has ended; the error is QEMU's own text.
  void restoreMachineState(const std::string& path, Completion done) override;
  void resume(Completion done) override;
  void pause(Completion done) override;
  // Migrates the paused machine into a new file at `path` and flushes it to disk.
  void saveMachineState(const std::string& path, Completion done) override;
  bool canPause() const override;
  bool canRequestStop() const override;
  // Presses the ACPI power button.
  Status requestStop() override;

 private:
  class Core;
  std::shared_ptr<Core> core_;
};

}  // namespace tovan
