set(TOVAN_CONTROL_SOURCES
  src/control/command_reader.cpp
  src/control/host_share.cpp
  src/control/run_bounded.cpp)
