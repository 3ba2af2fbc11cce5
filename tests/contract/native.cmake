# The file contract over the simulated machine, as part of the native tests,
# and the test image the machine's tests write.
target_sources(tessavane_tests PRIVATE
  ${CMAKE_SOURCE_DIR}/tests/contract/contract_native_test.cpp
  ${CMAKE_SOURCE_DIR}/tests/contract/fat_image.cpp
  ${CMAKE_SOURCE_DIR}/tests/contract/file_contract.cpp)
