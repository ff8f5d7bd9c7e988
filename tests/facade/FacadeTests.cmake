# The facades as hosts use them: a C host (the header compiled as strict C99), a C++ host, a .NET
# host run by Mono; and the installed package used by a host and a module built against it.
add_executable(facade_c_host facade/CHost.c)
target_link_libraries(facade_c_host PRIVATE tolvane_console)
set_target_properties(facade_c_host PROPERTIES C_STANDARD 99 C_STANDARD_REQUIRED ON C_EXTENSIONS OFF)
target_compile_options(facade_c_host PRIVATE -Wall -Wextra -Werror -pedantic)

add_executable(facade_cpp_host facade/CppHost.cpp)
target_link_libraries(facade_cpp_host PRIVATE tolvane_console)

tolvane_test(facade_tests facade/FacadeTest.cpp)
# The package tests install this build: what they install must be built with them.
add_dependencies(facade_tests facade_c_host facade_cpp_host tolvane_console tolvane_modkit diagreg diagconsole-host)
if(TARGET diagconsole-cmd)
  add_dependencies(facade_tests diagconsole-cmd)
endif()

# What a project built against the installed package must add to match this build.
set(package_flags "")
if(TOLVANE_SANITIZE)
  # The console's classes keep their type information hidden, as in the console tests.
  set(package_flags "-fsanitize=address,undefined -fno-sanitize=vptr")
elseif(TOLVANE_TSAN)
  set(package_flags "-fsanitize=thread")
endif()
target_compile_definitions(facade_tests PRIVATE
  C_HOST="$<TARGET_FILE:facade_c_host>"
  CPP_HOST="$<TARGET_FILE:facade_cpp_host>"
  C_HOST_SOURCE="${CMAKE_CURRENT_SOURCE_DIR}/facade/CHost.c"
  PACKAGE_PROJECT="${CMAKE_CURRENT_SOURCE_DIR}/facade/package"
  BUILD_DIR="${PROJECT_BINARY_DIR}"
  CMAKE="${CMAKE_COMMAND}"
  GENERATOR="${CMAKE_GENERATOR}"
  C_COMPILER="${CMAKE_C_COMPILER}"
  CXX_COMPILER="${CMAKE_CXX_COMPILER}"
  PKG_CONFIG="${PKG_CONFIG_EXECUTABLE}"
  LIBDIR="${CMAKE_INSTALL_LIBDIR}"
  SANITIZE_FLAGS="${package_flags}")

find_program(TOLVANE_MONO mono DOC "The Mono runtime that runs the .NET host of the tests")
if(TOLVANE_MCS AND TOLVANE_MONO)
  set(mono_host ${CMAKE_CURRENT_BINARY_DIR}/FacadeHost.exe)
  add_custom_command(OUTPUT ${mono_host}
    COMMAND ${TOLVANE_MCS} -nologo -warn:4 -warnaserror+ -r:${TOLVANE_INTEROP_ASSEMBLY} -out:${mono_host}
            ${CMAKE_CURRENT_SOURCE_DIR}/facade/FacadeHost.cs
    DEPENDS facade/FacadeHost.cs ${TOLVANE_INTEROP_ASSEMBLY}
    VERBATIM)
  add_custom_target(facade_mono_host ALL DEPENDS ${mono_host})
  add_dependencies(facade_mono_host tolvane_interop)
  add_dependencies(facade_tests facade_mono_host tolvane_interop)
  # Mono carries no sanitizer runtime: a sanitized library needs it loaded first.
  if(TOLVANE_SANITIZE OR TOLVANE_TSAN)
    set(runtime libasan.so)
    if(TOLVANE_TSAN)
      set(runtime libtsan.so)
    endif()
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${runtime}
                    OUTPUT_VARIABLE runtime_path OUTPUT_STRIP_TRAILING_WHITESPACE)
    target_compile_definitions(facade_tests PRIVATE MONO_PRELOAD="${runtime_path}")
  endif()
  get_filename_component(interop_dir ${TOLVANE_INTEROP_ASSEMBLY} DIRECTORY)
  target_compile_definitions(facade_tests PRIVATE
    MONO="${TOLVANE_MONO}"
    MCS="${TOLVANE_MCS}"
    MONO_HOST="${mono_host}"
    MONO_HOST_SOURCE="${CMAKE_CURRENT_SOURCE_DIR}/facade/FacadeHost.cs"
    INTEROP_DIR="${interop_dir}")
endif()
