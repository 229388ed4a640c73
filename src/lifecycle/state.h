// Every process-wide value of the `run` command, in one place, and the threads that share them.
//
// The threads of a running helper, what each runs and what it may touch:
//   main thread     runVM: takes the machine's lock, records savePath and hostShareName, queues
//                   the boot, starts the reader, then parks in pause() for good.
//   vmQueue         the machine's serial queue (its own thread here, libdispatch on macOS): the
//                   boot, every machine operation, completion and delegate callback, hibernation
//                   and the command work items. The only thread that touches `vm` and `busy`.
//   stdin reader    reads the parent's commands; queues "stop" and "hibernate" onto vmQueue and
//                   ends the process on "kill"; at end of input unmounts the host share, queues
//                   the freeze and reads `busy` only through bounded synchronous hops onto
//                   vmQueue. Reads hostShareName.
//   wind-down watchdog
//                   started at end of input; sleeps out the wind-down's bound and ends the
//                   process. Touches nothing.
//   QEMU watcher    one per QEMU process: reads its QMP socket and standard error, reaps it, and
//                   hands every message and its end to vmQueue. Touches no machine state.
//   state flusher   while QEMU writes a saved state: starts the disk's writeback as the file
//                   grows, flushes it at the end and hands the outcome to vmQueue.
//   timer           the process's one timer (base/timer.h): QMP deadlines and the simulated
//                   machine's delays; it only hands due work to vmQueue.
// Any thread may emit events; ioLock keeps each line whole. Any thread may end the process
// through exitProcess.
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
