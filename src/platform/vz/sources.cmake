# The Virtualization framework backend (macOS), Objective-C++ with ARC. vz_host.cpp
# (`hostPlatform()`) is compiled into the shipped executable itself, not listed here, so that a
# test binary can link the backend beside another host platform.
set(TOVAN_VZ_SOURCES
  src/platform/vz/vz_configuration.mm
  src/platform/vz/vz_machine.mm
  src/platform/vz/vz_platform.mm)
