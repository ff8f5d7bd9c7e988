# Run by `cmake --install`: writes Tolvane.Telnet.Interop.dll.config beside the installed assembly,
# mapping the library's soname to its file under the prefix being installed to.
set(libdir "${TOLVANE_LIBDIR}")
if(NOT IS_ABSOLUTE "${libdir}")
  set(libdir "${CMAKE_INSTALL_PREFIX}/${libdir}")
endif()
set(assembly_dir "${TOLVANE_ASSEMBLY_SUBDIR}")
if(NOT IS_ABSOLUTE "${assembly_dir}")
  set(assembly_dir "${CMAKE_INSTALL_PREFIX}/${assembly_dir}")
endif()
set(config "${assembly_dir}/Tolvane.Telnet.Interop.dll.config")
message(STATUS "Installing: $ENV{DESTDIR}${config}")
file(WRITE "$ENV{DESTDIR}${config}"
"<configuration>
  <dllmap dll=\"libdiagconsole.so.0\" target=\"${libdir}/libdiagconsole.so.0\"/>
</configuration>
")
list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${config}")
