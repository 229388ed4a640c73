set(TOVAN_MACHINE_SOURCES src/machine/build_configuration.cpp src/machine/validate.cpp)
