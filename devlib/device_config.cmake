# The drive's configuration read and its decoders.
target_sources(devlib PRIVATE ${CMAKE_CURRENT_LIST_DIR}/src/device_config.cpp)

tolvane_add_test(devlib_device_config_tests LABEL devlib
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/tests/device_config_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/tests/port_flash_params_test.cpp
  LIBS devlib drivesim testsupport)
