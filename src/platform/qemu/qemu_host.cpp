// Placeholder until the QEMU backend lands.
#include <cstdlib>

#include "platform/platform.h"

namespace tovan {
Platform& hostPlatform() { std::abort(); }
}  // namespace tovan
