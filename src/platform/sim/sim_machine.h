// The simulated machine: a state machine on its SerialQueue that plays what the script in its
// disk image says (see sim_script.h), with real saved-state files (sim_files.h).
//
// States: stopped -> starting -> running; stopped -> restoring -> paused (restored) -> resuming
// -> running; running -> pausing -> paused -> saving -> paused. A failed start or restore ends
// stopped, a failed pause leaves it running, a failed resume or save leaves it paused. After the
// guest powers off or the machine fails, it is stopped. canPause() and canRequestStop() are true
// only while running.
//
// Every call must be made on the machine's queue: a call from any other thread is a bug in the
// caller, and the simulated machine aborts the process with a message saying so. Completions and
// delegate callbacks are always delivered later, as work of their own on that queue, never from
// inside the call. Delays are measured by the process's timer (base/timer.h).
//
// With a serial port configured, start() writes "sim guest booting\r\n" to the console log at
// the descriptor's current position, and "sim guest ready\r\n" once the guest runs.
#pragma once

#include <memory>

#include "platform/platform.h"
#include "platform/sim/sim_script.h"

namespace tovan {

class SimMachine final : public Machine {
 public:
  // Plays `script`. `queue` must outlive the machine.
  SimMachine(MachineConfiguration configuration, SimScript script, SerialQueue& queue);
  // Any thread. Cancels what the machine has scheduled; completions and callbacks still queued
  // are dropped.
  ~SimMachine() override;

  void setDelegate(MachineDelegate* delegate) override;
  void start(Completion done) override;
  void restoreMachineState(const std::string& path, Completion done) override;
  void resume(Completion done) override;
  void pause(Completion done) override;
  void saveMachineState(const std::string& path, Completion done) override;
  bool canPause() const override;
  bool canRequestStop() const override;
  Status requestStop() override;

 private:
  struct Core;
  std::shared_ptr<Core> core_;
};

}  // namespace tovan
