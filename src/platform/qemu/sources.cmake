# The QEMU backend (Linux). qemu_host.cpp (`hostPlatform()`) is compiled into the shipped
# executable itself, not listed here, so that test binaries can link the backend beside another
# host platform.
set(TOVAN_QEMU_SOURCES
  src/platform/qemu/accelerator.cpp
  src/platform/qemu/firmware.cpp
  src/platform/qemu/machine_uuid.cpp
  src/platform/qemu/qemu_arguments.cpp
  src/platform/qemu/qemu_machine.cpp
  src/platform/qemu/qemu_platform.cpp
  src/platform/qemu/qemu_process.cpp
  src/platform/qemu/qmp.cpp
  src/platform/qemu/qmp_session.cpp
  src/platform/qemu/state_relay.cpp)
