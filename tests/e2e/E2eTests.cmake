# The demo host with both example modules, end to end: inetutils telnet and BusyBox telnet typing
# through expect, and diagconsole-cmd. A client that is not installed skips its test.
find_program(TOLVANE_EXPECT expect)
if(TOLVANE_EXPECT)
  set(demo $<TARGET_FILE:diagconsole-host> $<TARGET_FILE:example_orders> $<TARGET_FILE:example_legacy>)
  set(script ${CMAKE_CURRENT_SOURCE_DIR}/e2e/DemoHost.exp)
  add_test(NAME e2e_inetutils_telnet COMMAND ${TOLVANE_EXPECT} ${script} ${demo} telnet telnet)
  add_test(NAME e2e_busybox_telnet COMMAND ${TOLVANE_EXPECT} ${script} ${demo} telnet busybox telnet)
  add_test(NAME e2e_diagconsole_cmd COMMAND ${TOLVANE_EXPECT} ${script} ${demo} cmd $<TARGET_FILE:diagconsole-cmd>)
  set_tests_properties(e2e_inetutils_telnet e2e_busybox_telnet e2e_diagconsole_cmd PROPERTIES
    TIMEOUT 60 SKIP_RETURN_CODE 77)
else()
  message(WARNING "expect is not installed: the end-to-end tests are left out")
endif()
