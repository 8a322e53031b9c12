# Texts of the drive list and the information pages.
blockprobe_core_sources(src/info_text.cpp)
tolvane_add_test(probe_text_tests LABEL probe SOURCES tests/info_text_test.cpp LIBS blockprobe_core)
