// Hibernation: freezes the running guest into the save-state file and ends the process, or rolls
// back to a running machine and tells the caller through its fallback.
#pragma once

#include <functional>

#include "platform/platform.h"

namespace tovan {

// Exits with status 0 once the state is saved; RETURNS when hibernation fails, with the machine
// left running and the failure reported.
//
// Runs on vmQueue, with the machine held in `vm`, on a host that can save machine state. When
// the machine can be paused: emits state "saving", pauses it, saves it to savePath + ".part",
// moves that into place at savePath, emits state "hibernated" and exits with status 0. Any older
// state at savePath is deleted before the move, so a failed move never leaves a stale state
// behind, and a failed save or move removes what it wrote at savePath + ".part". When the machine
// cannot be paused, or a step fails, the failure is one log event, the machine is left running
// (or resumed, with state "running" once the resume completes, whatever its outcome), and
// `onIncomplete`, when given, runs once on vmQueue, after that "running" event: a stop it asks
// for then reaches a machine that can take it.
void hibernateAndExit(Machine& machine, std::function<void()> onIncomplete);

}  // namespace tovan
