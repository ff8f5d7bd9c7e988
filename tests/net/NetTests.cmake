# Network channel library: real TCP over the loopback interface.
tolvane_test(net_tests
  net/CSocketStreamChannelTest.cpp
)
target_link_libraries(net_tests PRIVATE tolvane_net)
