# The end-to-end driver: a console program that works the program through
# window messages, under Wine and on real Windows.
file(GLOB E2E_DRIVER_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/e2e/driver/*.cpp)
add_executable(e2e_driver ${E2E_DRIVER_SOURCES})
target_include_directories(e2e_driver PRIVATE ${CMAKE_SOURCE_DIR})
target_compile_definitions(e2e_driver PRIVATE UNICODE _UNICODE)
target_link_options(e2e_driver PRIVATE -municode -static -static-libgcc -static-libstdc++)
target_link_libraries(e2e_driver PRIVATE gdi32)
