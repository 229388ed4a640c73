set(TOVAN_LIFECYCLE_SOURCES
  src/lifecycle/state.cpp
  src/lifecycle/run_driver.cpp
  src/lifecycle/vm_delegate.cpp
  src/lifecycle/hibernation.cpp
  src/lifecycle/commands.cpp)
