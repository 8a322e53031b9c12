# Fleetburn's window (Qt 6 Widgets) over the station core, and the program.
find_package(Qt6 REQUIRED COMPONENTS Widgets Test)

qt_add_library(fleetburn_ui STATIC
  src/ui/board_geometry.cpp
  src/ui/key_filter.cpp
  src/ui/main_form.cpp
  src/ui/main_form_pages.cpp
  src/ui/main_form_run.cpp
  src/ui/port_panel.cpp
  src/ui/qt_file_dialogs.cpp
  src/ui/qt_prompt.cpp
  src/ui/title_dialog.cpp
  src/ui/wait_paint_box.cpp)
set_target_properties(fleetburn_ui PROPERTIES AUTOMOC ON)
target_include_directories(fleetburn_ui PUBLIC src)
target_link_libraries(fleetburn_ui PUBLIC fleetburn_core Qt6::Widgets)

qt_add_executable(fleetburn src/fleetburn_main.cpp)
target_link_libraries(fleetburn PRIVATE fleetburn_ui drivesim)

tolvane_add_test(station_board_geometry_tests LABEL station
  SOURCES tests/ui/board_geometry_test.cpp
  LIBS fleetburn_ui)

tolvane_add_test(station_window_tests LABEL station
  SOURCES tests/ui/main_form_test.cpp tests/ui/main_form_run_test.cpp tests/ui/qt_test_main.cpp
  LIBS fleetburn_ui drivesim testsupport Qt6::Test)
target_compile_definitions(station_window_tests PRIVATE
  TOLVANE_SCENARIO_DIR="${PROJECT_SOURCE_DIR}/drivesim/scenarios"
  FLEETBURN_SCREENSHOT_DIR="${CMAKE_CURRENT_BINARY_DIR}/screenshots")


tolvane_add_test(station_process_tests LABEL station
  SOURCES tests/ui/fleetburn_process_test.cpp tests/ui/qt_test_main.cpp
  LIBS fleetburn_ui testsupport)
target_compile_definitions(station_process_tests PRIVATE
  FLEETBURN_EXECUTABLE="$<TARGET_FILE:fleetburn>"
  FLEETBURN_DEMO_STATION="$<TARGET_FILE:fleetburn_demo_station>"
  FLEETBURN_TEST_DATA="${CMAKE_CURRENT_SOURCE_DIR}/tests/data"
  FLEETBURN_RUN_DIR="${CMAKE_CURRENT_BINARY_DIR}/process-runs"
  TOLVANE_SCENARIO_DIR="${PROJECT_SOURCE_DIR}/drivesim/scenarios")
add_dependencies(station_process_tests fleetburn fleetburn_demo_station)
