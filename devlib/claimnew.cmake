# The loader block check and the claim-new operations.
target_sources(devlib PRIVATE ${CMAKE_CURRENT_LIST_DIR}/src/claim_new.cpp)

tolvane_add_test(devlib_claim_new_tests LABEL devlib
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/claim_new_test.cpp
  LIBS devlib drivesim testsupport)
