# The flash part list and the flash geometry.
target_sources(devlib PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/src/flash_list.cpp
  ${CMAKE_CURRENT_LIST_DIR}/src/flash_geometry.cpp)

tolvane_add_test(devlib_flash_tests LABEL devlib
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/tests/flash_list_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/tests/flash_geometry_test.cpp
  LIBS devlib testsupport)
target_compile_definitions(devlib_flash_tests PRIVATE
  TOLVANE_FLASH_FIXTURE_DIR="${CMAKE_CURRENT_LIST_DIR}/tests/fixtures")
