tolvane_test(telnet_config_tests
  telnet/TTelnetServerConfigTest.cpp
  telnet/TRegMonitorTest.cpp
)
target_link_libraries(telnet_config_tests PRIVATE tolvane_telnet)
# The monitor test changes a watched key from another process with the registry tool.
target_compile_definitions(telnet_config_tests PRIVATE DIAGREG_EXE="$<TARGET_FILE:diagreg>")
add_dependencies(telnet_config_tests diagreg)
