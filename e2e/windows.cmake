# The end-to-end driver: a console program that works tessavane-sim.exe
# through window messages under Wine.
add_executable(e2e_driver ${CMAKE_SOURCE_DIR}/e2e/driver.cpp)
target_compile_definitions(e2e_driver PRIVATE UNICODE _UNICODE)
target_link_options(e2e_driver PRIVATE -municode -static -static-libgcc -static-libstdc++)
target_link_libraries(e2e_driver PRIVATE gdi32)
