// The script that steers a simulated machine, and its parser.
//
// The simulated helper reads no environment and takes no options: everything a scenario needs
// is written into the main disk image (the read-write storage device), which the sim reads as
// text when the builder attaches it. An EMPTY disk image is a healthy default guest: it boots in
// 0.05 s, runs until asked to stop, powers off 0.05 s after a stop request, and its host can save
// and restore machine state (macOS 14).
//
// One directive per line. `#` starts a comment that runs to the end of the line (so it cannot
// appear inside a description); blank lines are ignored; blanks and tabs separate words; a
// trailing carriage return is ignored. Durations are seconds written as plain decimals ("2",
// "0.2", ".5"; no sign, no exponent), at most 1000000. A later directive replaces an earlier one
// of the same kind (for `fail`: of the same operation).
//
//   boot <seconds>                 start() completes (machine running) after this long. 0.05
//   restore <seconds>              restoreMachineState() completes after this long. 0.05
//   save <seconds>                 saveMachineState() completes after this long. 0.05
//   fail <operation> <description...>
//                                  that operation fails with exactly <description>, the rest of
//                                  the line without its surrounding blanks. Operations:
//                                    start restore resume pause save stop-request
//                                    validate save-restore-validation
//                                  A failing operation still takes its scripted time: `fail
//                                  start` completes with the error after `boot` seconds.
//   stop-response <seconds>|never  after a successful requestStop() the guest powers off
//                                  (delegate guestDidStop) this long later. 0.05. never: the
//                                  guest ignores stop requests.
//   power-off-after <seconds>      the guest powers itself off this long after it first runs.
//   error-after <seconds> <description...>
//                                  the machine stops with this error (delegate
//                                  didStopWithError) this long after it first runs.
//   detach-network-after <seconds> <description...>
//                                  delegate networkAttachmentWasDisconnected this long after the
//                                  machine first runs; the machine goes on.
//   host macos-13|macos-14         the answer of canSaveAndRestore(). macos-14
//   time-scale <factor>            Platform::sleepFor(s) sleeps s * factor (0 to 1000000). 1
//   stall <operation> <seconds>    the call of that operation (start restore resume pause save)
//                                  blocks the machine's queue this long, in real time, before
//                                  it does anything: a hung file operation.
//
// "After it first runs" counts from the first time the machine reaches running in this
// process: the end of start(), or the end of the resume that follows a restore. A guest cannot
// power itself off while it is paused: a power-off that falls due then happens as soon as the
// machine runs again. A machine error or network detachment arrives in any state but stopped.
//
// A malformed line makes the read-write attach of the disk image fail with
// "sim script line N: <what is wrong>", N counting from 1.
//
// Fixed texts the simulated machine fails with, besides the scripted ones:
//   "cannot <operation> the machine while it is <state>"   operation in the wrong state
//   "cannot request a stop while the machine is <state>"   requestStop() when not running
//   "the machine stopped before <operation> completed"     a machine error cut it short
//   "saving and restoring machine state needs macOS 14 or later"        on `host macos-13`
//   the saved-state refusals of platform/saved_state.h: "saved state is not in this helper's
//   format", "saved state is for another machine", "the disk changed after the state was
//   saved", "saved state is damaged (checksum mismatch)" and the rest
//   "cannot open saved state \"<path>\": <OS reason>"         restore from a missing file
//   "cannot open saved state \"<path>\": not a regular file"  restore from a FIFO or a device
//   "cannot write saved state to \"<path>\": <OS reason>"     save into a missing directory
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "base/result.h"

namespace tovan {

// The operations a script can make fail.
enum class SimOperation {
  start,
  restore,
  resume,
  pause,
  save,
  stopRequest,
  validate,
  saveRestoreValidation,
};
inline constexpr std::size_t kSimOperationCount = 8;

// The script's word for an operation ("stop-request" for stopRequest).
std::string_view simOperationName(SimOperation operation);

enum class SimHost { macos13, macos14 };

// A machine call that holds the machine's queue for a while before it does anything.
struct SimStall {
  SimOperation operation;
  double seconds = 0;
};

// Something the simulated machine does by itself, some time after it first runs.
struct SimTimedEvent {
  double seconds = 0;
  std::string description;  // empty for a power-off
};

struct SimScript {
  double bootSeconds = 0.05;
  double restoreSeconds = 0.05;
  double saveSeconds = 0.05;
  std::optional<double> stopResponseSeconds = 0.05;  // absent: the guest ignores stop requests
  std::optional<double> powerOffAfterSeconds;
  std::optional<SimTimedEvent> errorAfter;
  std::optional<SimTimedEvent> detachNetworkAfter;
  SimHost host = SimHost::macos14;
  double timeScale = 1;
  std::array<std::optional<std::string>, kSimOperationCount> failures;
  std::optional<SimStall> stall;

  // The scripted description that `operation` fails with, or nullptr when it succeeds.
  const std::string* failure(SimOperation operation) const;
};

// Parses the text of a disk image. Fails with "sim script line N: <what is wrong>".
Result<SimScript> parseSimScript(std::string_view text);

}  // namespace tovan
