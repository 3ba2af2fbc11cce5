# The file and disk contracts over kernel32: a console program, run under
# Wine for what Wine can answer and on a Windows runner on a virtual disk.
add_executable(contract_tests
  ${CMAKE_SOURCE_DIR}/tests/contract/contract_main_win32.cpp
  ${CMAKE_SOURCE_DIR}/tests/contract/disk_contract.cpp
  ${CMAKE_SOURCE_DIR}/tests/contract/fat_image.cpp
  ${CMAKE_SOURCE_DIR}/tests/contract/file_contract.cpp)
target_include_directories(contract_tests PRIVATE ${CMAKE_SOURCE_DIR})
target_compile_definitions(contract_tests PRIVATE UNICODE _UNICODE)
target_link_options(contract_tests PRIVATE
  -municode -static -static-libgcc -static-libstdc++)
target_link_libraries(contract_tests PRIVATE tessavane_platform_win32)
