set(TOVAN_BASE_SOURCES src/base/result.cpp src/base/files.cpp src/base/timer.cpp
  src/base/machine_lock.cpp)
