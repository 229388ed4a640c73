set(TOVAN_LIFECYCLE_TESTS
  ${CMAKE_CURRENT_LIST_DIR}/command_reader_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/host_share_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/run_bounded_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/scenario_fixture.cpp
  ${CMAKE_CURRENT_LIST_DIR}/run_scenario_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/hibernation_scenario_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/command_scenario_test.cpp)
