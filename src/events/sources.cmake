set(TOVAN_EVENTS_SOURCES src/events/emit.cpp src/events/catalogue.cpp)
