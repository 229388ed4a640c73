set(TOVAN_CONTROL_SOURCES
  src/control/command_reader.cpp
  src/control/host_share.cpp
  src/control/run_bounded.cpp)
if(APPLE)
  list(APPEND TOVAN_CONTROL_SOURCES src/control/mount_table_apple.cpp)
else()
  list(APPEND TOVAN_CONTROL_SOURCES src/control/mount_table_linux.cpp)
endif()
