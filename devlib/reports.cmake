# Failure report texts and the small file and text helpers.
target_sources(devlib PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/src/failure_report.cpp
  ${CMAKE_CURRENT_LIST_DIR}/src/device_helpers.cpp)

tolvane_add_test(devlib_report_tests LABEL devlib
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/tests/failure_report_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/tests/device_helpers_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/tests/raw_dump_test.cpp
  LIBS devlib)
