# `cmake --install`: the console library with its public headers, the module kit with the static
# libraries it needs, the C# assembly when it was built, and the tools, under the GNU directories;
# then a CMake package (find_package(tolvane): tolvane::console, tolvane::modkit) and pkg-config
# files (tolvane-console, tolvane-modkit, tolvane-interop) that describe them.
include(CMakePackageConfigHelpers)

set(TOLVANE_INCLUDE_SUBDIR ${CMAKE_INSTALL_INCLUDEDIR}/tolvane)
set(TOLVANE_CMAKE_SUBDIR ${CMAKE_INSTALL_LIBDIR}/cmake/tolvane)
set(TOLVANE_ASSEMBLY_SUBDIR ${CMAKE_INSTALL_LIBDIR}/cli/tolvane)

# The headers a host or a module includes, and every header they include in turn; installed under
# include/tolvane with their folders, as the sources name them.
set(TOLVANE_PUBLIC_HEADERS
  console/ConsoleApi.h console/IConsoleExtension.h console/TCommandsPersistence.h
  console/TDiagnosticServer.h console/TDiagnosticServerCommand.h console/TLineAssembler.h
  facade/TelnetServer.h facade/TolvaneConsole.h
  foundation/Format.h foundation/TFileEx.h foundation/TIOFile.h foundation/TStringEx.h
  foundation/TStringExArray.h
  modules/IConsoleListener.h modules/ModuleKit.h modules/TConsole.h modules/TTraceRegistry.h
  modules/bridge/IBackDoorHandler.h modules/bridge/TBackDoorsManagerImp.h
  net/CStreamChannelServer.h
  platform/Clock.h platform/Event.h platform/LoadedModules.h platform/RecursiveMutex.h
  platform/Semaphore.h platform/SpinWait.h platform/Thread.h platform/ThreadCheck.h
  platform/ThreadMessages.h platform/Waitable.h platform/Win32Types.h
  runtime/CatchAll.h runtime/FunctorPool.h runtime/TActiveObjectBase.h runtime/TActiveObjectCommon.h
  runtime/TActiveObjectDeluxe.h runtime/TActiveObjectDeluxeImpl.h runtime/TActiveObjectEx.h
  runtime/TApplicationSettings.h runtime/TBlockingCall.h runtime/TCriticalSection.h runtime/TFunctor.h
  runtime/TMpscRing.h runtime/TMsgQueueEx.h runtime/TMutex.h runtime/TRendezVousEx.h
  runtime/TSemaphore.h runtime/TTimerEx.h runtime/TTimerIface.h runtime/TTimerMgrEx.h
  telnet/ITelnetChannelEvent.h telnet/ITelnetServerEvents.h telnet/TTelnetServer.h
  telnet/TTelnetServerConfig.h telnet/TtcpServer.h telnet/TtcpServerNotify.h
)
foreach(header IN LISTS TOLVANE_PUBLIC_HEADERS)
  get_filename_component(folder ${header} DIRECTORY)
  install(FILES ${PROJECT_SOURCE_DIR}/${header} DESTINATION ${TOLVANE_INCLUDE_SUBDIR}/${folder})
endforeach()

# The console links its own copy of everything; a host links the foundation (strings, the telnet
# settings) and a module the kit, each with the platform layer beneath: those are installed too.
set_target_properties(tolvane_console PROPERTIES EXPORT_NAME console)
set_target_properties(tolvane_modkit PROPERTIES EXPORT_NAME modkit)
set_target_properties(tolvane_foundation PROPERTIES EXPORT_NAME foundation)
set_target_properties(tolvane_platform PROPERTIES EXPORT_NAME platform)
install(TARGETS tolvane_console tolvane_modkit tolvane_foundation tolvane_platform
  EXPORT tolvaneTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${TOLVANE_INCLUDE_SUBDIR})
install(EXPORT tolvaneTargets NAMESPACE tolvane:: DESTINATION ${TOLVANE_CMAKE_SUBDIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/tolvaneConfig.cmake.in
  ${PROJECT_BINARY_DIR}/tolvaneConfig.cmake INSTALL_DESTINATION ${TOLVANE_CMAKE_SUBDIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/tolvaneConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/tolvaneConfig.cmake ${PROJECT_BINARY_DIR}/tolvaneConfigVersion.cmake
  DESTINATION ${TOLVANE_CMAKE_SUBDIR})

# pkg-config files that find the prefix from where they lie, so the installed tree may move.
file(RELATIVE_PATH TOLVANE_PC_TO_PREFIX /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
string(REGEX REPLACE "/$" "" TOLVANE_PC_TO_PREFIX "${TOLVANE_PC_TO_PREFIX}")
if(TOLVANE_THREAD_CHECKS)
  set(TOLVANE_PC_THREAD_CHECKS 1)
else()
  set(TOLVANE_PC_THREAD_CHECKS 0)
endif()
set(pc_files tolvane-console tolvane-modkit)
if(TOLVANE_MCS)
  list(APPEND pc_files tolvane-interop)
endif()
foreach(pc IN LISTS pc_files)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/${pc}.pc.in ${PROJECT_BINARY_DIR}/pkgconfig/${pc}.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/pkgconfig/${pc}.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endforeach()

# The assembly, with a .config that maps the library's soname to its installed file (written at
# install time, when the prefix is known), so a host finds it wherever it copies the assembly.
if(TOLVANE_MCS)
  install(FILES ${TOLVANE_INTEROP_ASSEMBLY} DESTINATION ${TOLVANE_ASSEMBLY_SUBDIR})
  install(CODE "set(TOLVANE_LIBDIR \"${CMAKE_INSTALL_LIBDIR}\")
set(TOLVANE_ASSEMBLY_SUBDIR \"${TOLVANE_ASSEMBLY_SUBDIR}\")")
  install(SCRIPT ${CMAKE_CURRENT_LIST_DIR}/InstallInteropConfig.cmake)
endif()

# The tools; those that load the library find it from where they lie.
file(RELATIVE_PATH bin_to_lib /${CMAKE_INSTALL_BINDIR} /${CMAKE_INSTALL_LIBDIR})
set(tools diagreg diagconsole-host)
if(TARGET diagconsole-cmd)
  list(APPEND tools diagconsole-cmd)
endif()
foreach(tool IN LISTS tools)
  set_target_properties(${tool} PROPERTIES INSTALL_RPATH "$ORIGIN/${bin_to_lib}")
endforeach()
install(TARGETS ${tools} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
