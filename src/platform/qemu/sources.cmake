set(TOVAN_QEMU_SOURCES src/platform/qemu/qemu_platform.cpp)
