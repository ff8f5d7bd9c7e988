# The telnet channel over an in-memory stream.
tolvane_test(telnet_channel_tests telnet/TTelnetChannelTest.cpp)
target_link_libraries(telnet_channel_tests PRIVATE tolvane_telnet)
