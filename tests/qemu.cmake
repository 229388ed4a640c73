# The QEMU backend's tests, in two binaries:
#   tovan_qemu_unit_tests  the pure parts, the child-process hygiene (with a shell standing in for
#                          QEMU) and machines of this host's real QEMU on a blank disk. No guest
#                          boots, so they are quick and run under every preset.
#   tovan_qemu_tests       end-to-end runs of the shipped tovan-vmhelper booting the real test
#                          guest (scripts/build-guest.sh), ctest label `qemu`.
add_executable(tovan_qemu_unit_tests
  ${CMAKE_CURRENT_LIST_DIR}/qemu_pure_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/qemu_process_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/qemu_machine_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/qemu_state_flusher_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/qemu_test_support.cpp)
target_include_directories(tovan_qemu_unit_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(tovan_qemu_unit_tests PRIVATE tovan_backend_qemu tovan_test_support
                                                    GTest::gmock_main)
gtest_discover_tests(tovan_qemu_unit_tests DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300)

add_executable(tovan_qemu_tests
  ${CMAKE_CURRENT_LIST_DIR}/qemu_e2e_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/qemu_test_support.cpp)
target_include_directories(tovan_qemu_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(tovan_qemu_tests PRIVATE tovan_core tovan_test_support GTest::gmock_main)
target_compile_definitions(tovan_qemu_tests PRIVATE
  TOVAN_HELPER="$<TARGET_FILE:tovan-vmhelper>"
  TOVAN_GUEST_DISK="${PROJECT_SOURCE_DIR}/guest/out/disk.img")
add_dependencies(tovan_qemu_tests tovan-vmhelper)
gtest_discover_tests(tovan_qemu_tests DISCOVERY_TIMEOUT 60
                     PROPERTIES LABELS qemu TIMEOUT 600 RUN_SERIAL TRUE)

# The same lives again as on a host without KVM: /dev/kvm hidden in a private mount namespace
# (needs root; skipped where there is no /dev/kvm to hide).
add_test(NAME QemuEndToEnd.WithKvmHidden
         COMMAND ${PROJECT_SOURCE_DIR}/scripts/without-kvm.sh $<TARGET_FILE:tovan_qemu_tests>)
set_tests_properties(QemuEndToEnd.WithKvmHidden PROPERTIES
                     LABELS qemu SKIP_RETURN_CODE 77 TIMEOUT 1200 RUN_SERIAL TRUE)
