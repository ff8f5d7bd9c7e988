# The facades as hosts use them: a C host (the header compiled as strict C99) and a C++ host.
add_executable(facade_c_host facade/CHost.c)
target_link_libraries(facade_c_host PRIVATE tolvane_console)
set_target_properties(facade_c_host PROPERTIES C_STANDARD 99 C_STANDARD_REQUIRED ON C_EXTENSIONS OFF)
target_compile_options(facade_c_host PRIVATE -Wall -Wextra -Werror -pedantic)

add_executable(facade_cpp_host facade/CppHost.cpp)
target_link_libraries(facade_cpp_host PRIVATE tolvane_console)

tolvane_test(facade_tests facade/FacadeTest.cpp)
add_dependencies(facade_tests facade_c_host facade_cpp_host)

target_compile_definitions(facade_tests PRIVATE
  C_HOST="$<TARGET_FILE:facade_c_host>"
  CPP_HOST="$<TARGET_FILE:facade_cpp_host>")
