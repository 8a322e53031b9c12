# The settings file: the library's INI engine and the tool settings on it.
target_sources(devlib PRIVATE
  src/ini_document.cpp
  src/settings_file.cpp)

tolvane_add_test(devlib_settings_tests LABEL devlib
  SOURCES
    tests/ini_document_test.cpp
    tests/settings_file_test.cpp
  LIBS devlib testsupport)
target_compile_definitions(devlib_settings_tests PRIVATE
  TOLVANE_SETTINGS_GOLDEN_DIR="${CMAKE_CURRENT_SOURCE_DIR}/tests/golden")
