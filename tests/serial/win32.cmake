# The Windows backend's suite. It needs a line whose far end it can drive, so
# it runs under Wine through tests/wine/run_serial_tests.sh, not through ctest.
if(WIN32)
  add_executable(serial_win32_tests ${CMAKE_CURRENT_LIST_DIR}/serial_win32_test.cpp)
  target_link_libraries(serial_win32_tests PRIVATE kelvora_serial GTest::gtest_main)
  kelvora_target(serial_win32_tests)
endif()
