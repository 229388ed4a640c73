// Every process-wide value of the `run` command, in one place.
//
// Who may touch what:
//   savePath, hostShareName  written once by runVM on the main thread before the boot work item and
//                            the stdin reader exist; read-only afterwards, from any thread.
//   vm, busy                 read and written only by work items running on vmQueue(), so they
//                            need no lock.
// Nothing here is ever freed: the helper builds one machine per process and ends with _exit.
#pragma once

#include <optional>
#include <string>

#include "platform/platform.h"
#include "platform/serial_queue.h"

namespace tovan {

class VMDelegate;

// The saved machine-state file: restored from at boot, written by hibernation.
extern std::string savePath;

// The SMB share the host may have mounted at "/Volumes/" + name: absent for an isolated machine
// or one without a name.
extern std::optional<std::string> hostShareName;

// The one serial queue that carries the machine: every machine operation, completion handler,
// delegate callback and command work item. Created on first use (thread-safe), never destroyed.
SerialQueue& vmQueue();

// The one machine; null until the boot work item has created it. vmQueue only.
extern Machine* vm;

// True while a start, a restore with its resume, or a save is in flight. vmQueue only.
extern bool busy;

// The one delegate installed on the machine, created on first use. Used on vmQueue only.
VMDelegate& vmDelegate();

}  // namespace tovan
