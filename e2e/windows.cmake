# The end-to-end driver: a console program that works the program through
# window messages, under Wine and on real Windows.
file(GLOB E2E_DRIVER_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/e2e/driver/*.cpp)
add_executable(e2e_driver ${E2E_DRIVER_SOURCES})
target_include_directories(e2e_driver PRIVATE ${CMAKE_SOURCE_DIR})
target_compile_definitions(e2e_driver PRIVATE UNICODE _UNICODE)
target_link_options(e2e_driver PRIVATE -municode -static -static-libgcc -static-libstdc++)
target_link_libraries(e2e_driver PRIVATE gdi32)

# The real-device test's launcher and the shim it loads into tessavane.exe
# (e2e/device/): Wine's refused length and descriptor queries answered for
# the test's own loop device, nothing else.
add_executable(e2e_device_launch ${CMAKE_SOURCE_DIR}/e2e/device/launch.cpp)
target_compile_definitions(e2e_device_launch PRIVATE UNICODE _UNICODE)
target_link_options(e2e_device_launch PRIVATE -municode -static -static-libgcc -static-libstdc++)
add_library(e2e_device_shim SHARED ${CMAKE_SOURCE_DIR}/e2e/device/shim.cpp)
set_target_properties(e2e_device_shim PROPERTIES PREFIX "")
target_compile_definitions(e2e_device_shim PRIVATE UNICODE _UNICODE)
target_link_options(e2e_device_shim PRIVATE -static -static-libgcc -static-libstdc++)
