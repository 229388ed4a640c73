set(TOVAN_LIFECYCLE_SOURCES src/lifecycle/run_driver.cpp)
