set(TOVAN_MACHINE_TESTS
  ${CMAKE_CURRENT_LIST_DIR}/build_configuration_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/sim_platform_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/validate_test.cpp)
