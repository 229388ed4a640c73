// The parent's commands and the end of its input: what "stop", "hibernate" and "kill" do, and
// how the helper winds down when standard input ends.
//
// The reader thread reads commands (control/command_reader.h) and hands "stop" and "hibernate"
// to vmQueue as work items; "kill" ends the process on the reader thread at once. The work items
// run on vmQueue, the only place where `vm` and `busy` are read, queued after the boot.
#pragma once

namespace tovan {

// Starts the reader on a detached thread of its own and returns at once. Called once by runVM,
// after it has set hostShareName and queued the boot work item.
//
// At the end of input the reader removes the host share (logging one that survives), queues
// the freeze, waits while the machine is busy (at most 240 looks half a second apart), sleeps
// 20 seconds more and exits with status 0, unless the machine ends the process first. A
// watchdog ends the process once that bound has passed, whatever is stuck.
void startStdinReader();

// "stop": asks the guest to shut down. Before the machine can take it, logs "stop requested
// before VM reached running state" and forgets it; a failed request is logged. The guest's
// shutdown arrives later through the delegate.
void stopWorkItem();

// "hibernate": hibernates the machine with no fallback; on a host that cannot save machine state
// it emits the "hibernation requires macOS 14+" error instead and the helper runs on.
void hibernateWorkItem();

// End of input: freezes the machine, falling back to a silent stop request where the freeze is
// impossible or fails. Exits with status 0 when there is no machine at all. A start, restore or
// save in flight is not interrupted: the freeze is put off until `busy` turns false, see below.
void freezeWorkItem();

// The value of `busy`, fetched by a synchronous hop onto vmQueue that waits at most `patience`
// seconds: a queue stuck in a file operation or behind a QEMU that does not answer counts as
// busy. Must not be called on vmQueue. A freeze that was put off because the machine was busy is
// carried out in the same hop once the machine no longer is: otherwise a machine restored from
// its saved state (which is deleted once it runs) would be killed at the helper's exit, and its
// state lost for good.
bool machineIsBusy(double patience);

}  // namespace tovan
