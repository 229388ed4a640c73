if(APPLE)
  set(TOVAN_PLATFORM_SOURCES src/platform/platform.cpp src/platform/saved_state.cpp
    src/platform/serial_queue.cpp
    src/platform/serial_queue_dispatch.cpp)
else()
  set(TOVAN_PLATFORM_SOURCES src/platform/platform.cpp src/platform/saved_state.cpp
    src/platform/serial_queue.cpp
    src/platform/serial_queue_thread.cpp)
endif()
