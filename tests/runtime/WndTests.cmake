# Hidden windows and the window-message active object.
tolvane_test(wnd_tests
  runtime/TWndActiveObjectDeluxeTest.cpp
)
target_link_libraries(wnd_tests PRIVATE tolvane_runtime)
