set(TOVAN_SIM_SOURCES src/platform/sim/sim_platform.cpp)
