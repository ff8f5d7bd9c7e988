tolvane_test(diagconsole_tests
  console/ConsoleTest.cpp
  console/CaptureTest.cpp
  console/SysInfoTest.cpp
)
target_link_libraries(diagconsole_tests PRIVATE tolvane_console tolvane_modkit)
