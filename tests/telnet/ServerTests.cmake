tolvane_test(telnet_server_tests
  telnet/TtcpServerTest.cpp
  telnet/TTelnetServerTest.cpp
  telnet/RealClientTest.cpp
)
target_link_libraries(telnet_server_tests PRIVATE tolvane_telnet)
target_compile_definitions(telnet_server_tests PRIVATE REAL_CLIENT_SCRIPT="${CMAKE_CURRENT_SOURCE_DIR}/telnet/RealClient.exp")
