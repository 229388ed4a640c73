// The work items through which the stdin reader acts on the machine. Each runs on vmQueue, the
// only place where `vm` and `busy` are read, and is queued after the boot work item.
#pragma once

namespace tovan {

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
