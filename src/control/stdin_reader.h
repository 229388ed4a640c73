// The reader of the parent's commands on standard input, and the helper's wind-down when that
// input ends.
#pragma once

namespace tovan {

// Starts the reader on a detached thread of its own and returns at once. Called once by runVM,
// after it has set hostShareName and queued the boot work item, so every work item the reader
// queues runs after the boot.
//
// The reader hands "stop" and "hibernate" to vmQueue and reads on; "kill" ends the process at
// once with status 0. At the end of input it removes the host share (logging one that survives),
// queues the freeze, waits while the machine is busy (at most 240 looks half a second apart),
// sleeps 20 seconds more and exits with status 0, unless the machine ends the process first.
void startStdinReader();

}  // namespace tovan
