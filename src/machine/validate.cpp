#include "machine/validate.h"

#include <unistd.h>

#include <string>

#include "base/exit.h"
#include "base/files.h"
#include "events/event.h"
#include "machine/build_configuration.h"

namespace tovan {

void validateAndExit(const HelperConfig& config) {
  Result<MachineConfiguration> built = buildConfiguration(config, hostPlatform());
  if (built) {
    (void)writeAll(STDOUT_FILENO, "ok\n");
    exitProcess(0);
  }
  std::string line = "validation failed: " + built.error().description + "\n";
  (void)writeAll(STDERR_FILENO, line);
  exitProcess(1);
}

}  // namespace tovan
