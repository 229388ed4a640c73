// Placeholder until the run driver lands.
#include "lifecycle/run_driver.h"

#include <cstdlib>

namespace tovan {
void runVM(const HelperConfig&) { std::abort(); }
}  // namespace tovan
