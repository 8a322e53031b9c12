# The USB disk scan, the bridge chip identification and the hub port walk.
target_sources(devlib PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/src/usb_disk_scan.cpp
  ${CMAKE_CURRENT_LIST_DIR}/src/hub_walk.cpp)

tolvane_add_test(devlib_scan_tests LABEL devlib
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/tests/usb_disk_scan_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/tests/hub_walk_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/tests/hub_walk_emulated_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/tests/bus_mode_test.cpp
  LIBS devlib drivesim testsupport)
target_compile_definitions(devlib_scan_tests PRIVATE
  TOLVANE_SCENARIO_DIR="${PROJECT_SOURCE_DIR}/drivesim/scenarios")
