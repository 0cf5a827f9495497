# Run by CPack after it has made the packages: CPack gives a package with a
# shared library in /usr/lib maintainer scripts that call ldconfig; Debian
# activates libc's ldconfig trigger instead (dpkg runs ldconfig once, after
# all packages of a run are unpacked). This repacks the library's package
# with the trigger in place of those scripts. Its files and md5sums stay as
# they are.
find_program(DPKG_DEB dpkg-deb REQUIRED)
foreach(deb IN LISTS CPACK_PACKAGE_FILES)
  get_filename_component(name "${deb}" NAME)
  if(NOT name MATCHES "^${CPACK_VEXOLANT_LDCONFIG_PACKAGE}_")
    continue()
  endif()
  set(tree "${deb}.tree")
  file(REMOVE_RECURSE "${tree}")
  execute_process(COMMAND ${DPKG_DEB} --raw-extract "${deb}" "${tree}"
    COMMAND_ERROR_IS_FATAL ANY)
  foreach(script postinst postrm)
    file(STRINGS "${tree}/DEBIAN/${script}" lines)
    # Only CPack's own script goes: set -e, an if and ldconfig.
    list(FILTER lines EXCLUDE REGEX "^(#!/bin/sh|set -e|if .*|\tldconfig|fi|)$")
    if(lines)
      message(FATAL_ERROR "${name}: ${script} does more than call ldconfig: ${lines}")
    endif()
    file(REMOVE "${tree}/DEBIAN/${script}")
  endforeach()
  file(WRITE "${tree}/DEBIAN/triggers" "activate-noawait ldconfig\n")
  execute_process(COMMAND ${DPKG_DEB} --root-owner-group -Zgzip --build "${tree}" "${deb}"
    OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE_RECURSE "${tree}")
endforeach()
