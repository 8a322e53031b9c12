# The firmware download into the loader blocks and the loader header.
target_sources(devlib PRIVATE ${CMAKE_CURRENT_LIST_DIR}/src/firmware_download.cpp)

tolvane_add_test(devlib_firmware_download_tests LABEL devlib
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/firmware_download_test.cpp
  LIBS devlib drivesim testsupport)
