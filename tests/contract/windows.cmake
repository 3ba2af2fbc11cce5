# The file and disk contracts over kernel32: a console program, run under
# Wine for what Wine can answer and on a Windows runner on a virtual disk.
# contract_tests-sim is the same program over the simulated machine, for the
# Linux twin of the Windows job's steps.
foreach(variant IN ITEMS win32 sim)
  set(exe contract_tests)
  if(variant STREQUAL "sim")
    set(exe contract_tests-sim)
  endif()
  add_executable(${exe}
    ${CMAKE_SOURCE_DIR}/tests/contract/contract_main_win32.cpp
    ${CMAKE_SOURCE_DIR}/tests/contract/disk_contract.cpp
    ${CMAKE_SOURCE_DIR}/tests/contract/fat_image.cpp
    ${CMAKE_SOURCE_DIR}/tests/contract/file_contract.cpp)
  target_include_directories(${exe} PRIVATE ${CMAKE_SOURCE_DIR})
  target_compile_definitions(${exe} PRIVATE UNICODE _UNICODE)
  target_link_options(${exe} PRIVATE -municode -static -static-libgcc -static-libstdc++)
  target_link_libraries(${exe} PRIVATE tessavane_platform_${variant})
endforeach()
