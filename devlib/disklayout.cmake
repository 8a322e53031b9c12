# The disk layout written before the format, and the volume operations.
target_sources(devlib PRIVATE ${CMAKE_CURRENT_LIST_DIR}/src/disk_layout.cpp)

# On image files, loop devices and the emulated drives.
tolvane_add_test(devlib_disk_layout_tests LABEL devlib
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/disk_layout_test.cpp
  LIBS devlib drivesim)
