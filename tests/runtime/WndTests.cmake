# Hidden windows and the window-message active object.
tolvane_test(wnd_tests
  platform/WindowTest.cpp
  runtime/TWndActiveObjectDeluxeTest.cpp
)
target_link_libraries(wnd_tests PRIVATE tolvane_runtime)
