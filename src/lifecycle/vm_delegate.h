// VMDelegate: turns what the machine reports by itself (the guest stopped, the machine failed,
// the network went away) into events, and ends the process for the two kinds of stop.
#pragma once

#include "platform/platform.h"

namespace tovan {

// Holds no state. Every callback runs on vmQueue; none touches vm, busy or any file, so a
// guest that stops leaves a save-state file where it was.
class VMDelegate final : public MachineDelegate {
 public:
  // Emits state "stopped" and exits with status 0.
  void guestDidStop() override;
  // Emits the "guest stopped with error: " error and exits with status 1.
  void didStopWithError(const Error& error) override;
  // Emits the "network detached: " log; the machine runs on without the attachment.
  void networkAttachmentWasDisconnected(const Error& error) override;
};

}  // namespace tovan
