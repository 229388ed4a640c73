# The shipped helper on macOS: the Virtualization framework backend (Objective-C++ with ARC) and
# `tovan-vmhelper`, for Apple silicon from macOS 13. CMakeLists.txt includes this under if(APPLE),
# after tovan_core. CMAKE_OSX_DEPLOYMENT_TARGET (13.0) and CMAKE_OSX_ARCHITECTURES (arm64) are set
# there before project(), where CMake reads them to choose the SDK and the target.
enable_language(OBJCXX)
set(CMAKE_OBJCXX_STANDARD 20)
set(CMAKE_OBJCXX_STANDARD_REQUIRED ON)
set(CMAKE_OBJCXX_EXTENSIONS OFF)

if(CMAKE_OSX_DEPLOYMENT_TARGET VERSION_LESS 13.0)
  message(FATAL_ERROR "The helper needs macOS 13 or later; set CMAKE_OSX_DEPLOYMENT_TARGET to "
                      "13.0 before project() (it is \"${CMAKE_OSX_DEPLOYMENT_TARGET}\")")
endif()

find_library(TOVAN_VIRTUALIZATION_FRAMEWORK Virtualization REQUIRED)
find_library(TOVAN_FOUNDATION_FRAMEWORK Foundation REQUIRED)

include(src/platform/vz/sources.cmake)
add_library(tovan_backend_vz STATIC ${TOVAN_VZ_SOURCES})
# A macOS 14 call outside `if (@available(macOS 14, *))` would crash on macOS 13: make it an error.
target_compile_options(tovan_backend_vz PRIVATE
  $<$<COMPILE_LANGUAGE:OBJCXX>:-fobjc-arc> -Werror=unguarded-availability-new)
target_link_libraries(tovan_backend_vz PUBLIC
  tovan_core ${TOVAN_VIRTUALIZATION_FRAMEWORK} ${TOVAN_FOUNDATION_FRAMEWORK})

# Signs TARGET ad hoc with the entitlements after every link: a machine is refused without
# com.apple.security.virtualization, and each link replaces the signature with one that has none.
function(tovan_sign_for_virtualization target)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND codesign --force --sign -
            --entitlements ${PROJECT_SOURCE_DIR}/src/platform/vz/tovan-vmhelper.entitlements
            $<TARGET_FILE:${target}>
    COMMENT "Signing ${target} with the virtualization entitlement"
    VERBATIM)
endfunction()

add_executable(tovan-vmhelper src/main.cpp src/platform/vz/vz_host.cpp)
target_link_libraries(tovan-vmhelper PRIVATE tovan_backend_vz)
tovan_sign_for_virtualization(tovan-vmhelper)
