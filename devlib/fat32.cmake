# The FAT32 formatter over the block I/O.
target_sources(devlib PRIVATE ${CMAKE_CURRENT_LIST_DIR}/src/fat32_format.cpp)

# Formats checked with fsck.fat and mtools, on sparse image files, the
# emulated drive and a loop device.
tolvane_add_test(devlib_fat32_format_tests LABEL devlib
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/fat32_format_test.cpp
  LIBS devlib drivesim)
