set(TOVAN_BASE_SOURCES src/base/result.cpp src/base/files.cpp)
