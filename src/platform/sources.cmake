set(TOVAN_PLATFORM_SOURCES src/platform/platform.cpp src/platform/serial_queue_thread.cpp)
