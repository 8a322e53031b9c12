# tolvane_add_test(<name> LABEL <label> SOURCES <files...> [LIBS <targets...>])
# One GoogleTest executable; every test case is registered with CTest under the
# label: the folder, with "-multiport" added for the tests that ThreadSanitizer
# must run (ctest -L matches a pattern, so "-L devlib" still selects them).
function(tolvane_add_test name)
  cmake_parse_arguments(T "" "LABEL" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock GTest::gtest_main Threads::Threads)
  gtest_discover_tests(${name}
    PROPERTIES LABELS "${T_LABEL}" TIMEOUT 120
    DISCOVERY_TIMEOUT 60)
endfunction()
