# The drive list: which disks carry the controller, bound to device slots.
blockprobe_core_sources(src/drive_list.cpp)
tolvane_add_test(probe_drive_list_tests LABEL probe SOURCES tests/drive_list_test.cpp
  LIBS blockprobe_core drivesim testsupport)
