tolvane_test(telnet_server_tests
  telnet/TTelnetServerTest.cpp
)
target_link_libraries(telnet_server_tests PRIVATE tolvane_telnet)
