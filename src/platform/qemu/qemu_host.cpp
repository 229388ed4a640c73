// The shipped helper on Linux runs its machine with QEMU.
#include "platform/qemu/qemu_platform.h"

namespace tovan {

Platform& hostPlatform() {
  // Never destroyed: the machine it made lives until the process ends.
  static QemuPlatform* platform = new QemuPlatform(QemuHost::detect());
  return *platform;
}

}  // namespace tovan
