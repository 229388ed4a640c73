set(TOVAN_CONFIG_SOURCES src/config/helper_config.cpp)
