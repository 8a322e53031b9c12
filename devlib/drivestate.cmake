# Per-port work buffers and the drive state operations.
target_sources(devlib PRIVATE
  src/port_buffers.cpp
  src/drive_state.cpp)

tolvane_add_test(devlib_drivestate_tests LABEL devlib
  SOURCES
    tests/port_buffers_test.cpp
    tests/drive_state_test.cpp
  LIBS devlib testsupport)

# The same operations against the emulated drives.
tolvane_add_test(devlib_drivestate_emulated_tests LABEL devlib
  SOURCES
    tests/drive_state_emulated_test.cpp
  LIBS devlib drivesim testsupport)
