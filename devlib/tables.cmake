# The defect and later tables of the drive and their text files.
target_sources(devlib PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/src/table_text.cpp
  ${CMAKE_CURRENT_LIST_DIR}/src/table_files.cpp)

tolvane_add_test(devlib_table_text_tests LABEL devlib
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/table_text_test.cpp
  LIBS devlib testsupport)
target_compile_definitions(devlib_table_text_tests PRIVATE
  TOLVANE_TABLE_GOLDEN_DIR="${CMAKE_CURRENT_LIST_DIR}/tests/golden/tables")

tolvane_add_test(devlib_table_files_tests LABEL devlib
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/table_files_test.cpp
  LIBS devlib drivesim testsupport)
