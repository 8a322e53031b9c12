# The flash ID scan and the flash module, bus, flash interface and DRAM tests.
target_sources(devlib PRIVATE ${CMAKE_CURRENT_LIST_DIR}/src/controller_tests.cpp)

tolvane_add_test(devlib_controller_test_tests LABEL devlib
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/controller_tests_test.cpp
  LIBS devlib drivesim testsupport)
