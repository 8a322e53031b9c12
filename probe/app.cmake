# The window's texts, the page fill and the diagram decoder (plain C++), then
# the Qt window and the program.
find_package(JPEG REQUIRED)
find_package(Qt6 REQUIRED COMPONENTS Widgets Test)

blockprobe_core_sources(src/window_text.cpp src/info_pages.cpp src/jpeg_image.cpp)
target_link_libraries(blockprobe_core PUBLIC JPEG::JPEG)

set(BLOCKPROBE_OEM_BRAND "" CACHE STRING "OEM brand text compiled into Blockprobe (empty: the plain build)")

qt_add_library(blockprobe_ui STATIC
  src/main_form.cpp src/splash_form.cpp src/qt_prompt.cpp resources/probe.qrc)
set_target_properties(blockprobe_ui PROPERTIES AUTOMOC ON AUTORCC ON)
target_include_directories(blockprobe_ui PUBLIC src)
target_link_libraries(blockprobe_ui PUBLIC blockprobe_core Qt6::Widgets)

qt_add_executable(blockprobe src/blockprobe_main.cpp)
target_compile_definitions(blockprobe PRIVATE BLOCKPROBE_OEM_BRAND="${BLOCKPROBE_OEM_BRAND}")
target_link_libraries(blockprobe PRIVATE blockprobe_ui drivesim)

tolvane_add_test(probe_core_tests LABEL probe
  SOURCES tests/window_text_test.cpp tests/jpeg_image_test.cpp
  LIBS blockprobe_core)
target_compile_definitions(probe_core_tests PRIVATE TOLVANE_PROBE_RESOURCES="${CMAKE_CURRENT_SOURCE_DIR}/resources")

tolvane_add_test(probe_window_tests LABEL probe
  SOURCES tests/main_form_test.cpp
  LIBS blockprobe_ui drivesim testsupport Qt6::Test)
target_compile_definitions(probe_window_tests PRIVATE
  TOLVANE_SCENARIO_DIR="${PROJECT_SOURCE_DIR}/drivesim/scenarios"
  BLOCKPROBE_EXECUTABLE="$<TARGET_FILE:blockprobe>"
  BLOCKPROBE_SCREENSHOT_DIR="${CMAKE_CURRENT_BINARY_DIR}/screenshots")
add_dependencies(probe_window_tests blockprobe)
