tolvane_test(telnet_config_tests
  telnet/TTelnetServerConfigTest.cpp
)
target_link_libraries(telnet_config_tests PRIVATE tolvane_telnet)
