# Controller access operations, the firmware page identity and raw dumps.
target_sources(devlib PRIVATE
  src/controller_access.cpp
  src/firmware_page.cpp
  src/raw_dump.cpp)

tolvane_add_test(devlib_controller_tests LABEL devlib
  SOURCES
    tests/controller_access_test.cpp
    tests/firmware_page_test.cpp
  LIBS devlib testsupport)

# The same operations against the emulated drives.
tolvane_add_test(devlib_controller_emulated_tests LABEL devlib
  SOURCES
    tests/controller_emulated_test.cpp
  LIBS devlib drivesim testsupport)
