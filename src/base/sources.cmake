set(TOVAN_BASE_SOURCES
  src/base/child_process.cpp
  src/base/detached_thread.cpp
  src/base/exit.cpp
  src/base/files.cpp
  src/base/machine_lock.cpp
  src/base/result.cpp
  src/base/timer.cpp)
