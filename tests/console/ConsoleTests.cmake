tolvane_test(diagconsole_tests
  console/ConsoleTest.cpp
  console/CaptureTest.cpp
  console/ExamplesTest.cpp
  console/SysInfoTest.cpp
  console/TraceCommandsTest.cpp
)
target_link_libraries(diagconsole_tests PRIVATE tolvane_console tolvane_modkit)
# The console's classes live behind the library's hidden symbols, their run-time type information
# included: the sanitizer's dynamic-type check would need it from this side of the boundary.
if(TOLVANE_SANITIZE)
  target_compile_options(diagconsole_tests PRIVATE -fno-sanitize=vptr)
endif()

# Cooperating modules for the bridge: one with every Module_* export, one with Module_ParseDebugArg only.
tolvane_test_modules(bridge_module console/BridgeTestModule.cpp full plain)
target_compile_definitions(diagconsole_tests PRIVATE
  BRIDGE_MODULE_FULL="$<TARGET_FILE:bridge_module_full>"
  BRIDGE_MODULE_PLAIN="$<TARGET_FILE:bridge_module_plain>")
add_dependencies(diagconsole_tests bridge_module_full bridge_module_plain)
# The example modules, loaded as a host would.
target_compile_definitions(diagconsole_tests PRIVATE
  EXAMPLE_ORDERS="$<TARGET_FILE:example_orders>"
  EXAMPLE_LEGACY="$<TARGET_FILE:example_legacy>")
add_dependencies(diagconsole_tests example_orders example_legacy)
