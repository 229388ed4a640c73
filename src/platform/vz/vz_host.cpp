// The shipped helper on macOS runs its machine with Apple's Virtualization framework.
#include "platform/vz/vz_platform.h"

namespace tovan {

Platform& hostPlatform() {
  // Never destroyed: the machine it made lives until the process ends.
  static VzPlatform* platform = new VzPlatform;
  return *platform;
}

}  // namespace tovan
