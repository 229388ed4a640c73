// The one platform of the simulated helper: made on first use, never destroyed, so that the
// timer thread and the script outlive every thread that might still use them at exit.
#include "platform/platform.h"
#include "platform/sim/sim_platform.h"

namespace tovan {

Platform& hostPlatform() {
  static SimPlatform* platform = new SimPlatform;
  return *platform;
}

}  // namespace tovan
