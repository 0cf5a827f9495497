# Install rules. `cmake --install <build> [--prefix DIR]` puts the programs in
# bin, the manual pages in the man directories and the README and the licence
# in share/doc/vexolant. Every rule names the package component it belongs to
# (cmake/packaging.cmake): `vexolant` is the console tool with the virtual
# printer, their pages and the README; the library's rules go beside these,
# in components `libvexolant1` (run time) and `libvexolant-dev` (headers,
# pkg-config file, its page).
include(GNUInstallDirs)

install(TARGETS vexolant
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT vexolant)
# The virtual printer is built on POSIX systems only.
if(TARGET vexolant-sim)
  install(TARGETS vexolant-sim
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT vexolant)
endif()

install(FILES man/vexolant.1 man/vexolant-sim.1
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT vexolant)
install(FILES man/libvexolant.3
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man3 COMPONENT libvexolant-dev)

install(FILES README.md
  DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT vexolant)
# The licence in a component of its own: the Debian packages carry it as
# their copyright file instead.
install(FILES LICENSE
  DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT license)
