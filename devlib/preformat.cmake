# The preformat, the table check and the bad-block count.
target_sources(devlib PRIVATE ${CMAKE_CURRENT_LIST_DIR}/src/bad_block_tables.cpp)

tolvane_add_test(devlib_bad_block_tables_tests LABEL devlib
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/bad_block_tables_test.cpp
  LIBS devlib drivesim testsupport)
