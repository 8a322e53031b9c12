# RAM code images, their parameter block and the load sequence.
target_sources(devlib PRIVATE ${CMAKE_CURRENT_LIST_DIR}/src/ram_code.cpp)

tolvane_add_test(devlib_ram_code_tests LABEL devlib
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/ram_code_test.cpp
  LIBS devlib drivesim testsupport)
