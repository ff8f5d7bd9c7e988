tolvane_test(telnet_config_tests
  telnet/TTelnetServerConfigTest.cpp
  telnet/TRegMonitorTest.cpp
)
target_link_libraries(telnet_config_tests PRIVATE tolvane_telnet)
