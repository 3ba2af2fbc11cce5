# The file and disk contracts over the simulated machine, as part of the
# native tests.
target_sources(tessavane_tests PRIVATE
  ${CMAKE_SOURCE_DIR}/tests/contract/contract_native_test.cpp
  ${CMAKE_SOURCE_DIR}/tests/contract/disk_contract.cpp
  ${CMAKE_SOURCE_DIR}/tests/contract/fat_image.cpp
  ${CMAKE_SOURCE_DIR}/tests/contract/file_contract.cpp)
