# The simulated backend. sim_host.cpp (`hostPlatform()`) is also listed here so that the test
# binary, which links this library, gets the same process-wide SimPlatform; tovan-vmhelper-sim
# compiles it into the executable itself, and the linker then leaves the archive's copy out.
set(TOVAN_SIM_SOURCES
  src/platform/sim/sim_files.cpp
  src/platform/sim/sim_host.cpp
  src/platform/sim/sim_machine.cpp
  src/platform/sim/sim_platform.cpp
  src/platform/sim/sim_script.cpp)
