# Debian packages, made by CPack from the install rules' components
# (scripts/package does all of this, with Debian's build flags, and runs
# lintian on the result):
#
#   cmake -S . -B build/package -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
#         -DVEXOLANT_TESTS=OFF
#   cmake --build build/package
#   (cd build/package && cpack -G DEB)
#
# The install prefix of the build should be /usr: GNUInstallDirs then puts the
# library in the multiarch directory (lib/x86_64-linux-gnu), and the
# pkg-config file names /usr as its prefix.
#
# Three packages, split as a library and its tool are:
#   vexolant         the console tool, the virtual printer, their manual pages,
#                    README; its maintainer scripts make the default working
#                    directory /var/lib/vexolant (group dialout, mode 2775) and
#                    leave the users' files in it when the package goes
#   libvexolant1     the shared library libvexolant.so.1.x and its SONAME link
#   libvexolant-dev  the header, the static library, the libvexolant.so link,
#                    the pkg-config file, the CMake package and libvexolant(3)
# Each carries the licence as /usr/share/doc/<package>/copyright and the
# package's changelog.Debian.gz.
set(VEXOLANT_PACKAGE_MAINTAINER "vexolant authors <maintainers@vexolant.example>"
  CACHE STRING "The Maintainer field of the Debian packages: a name and <address>")

set(VEXOLANT_DEB_COMPONENTS vexolant libvexolant1 libvexolant-dev)
if(VEXOLANT_SERVICE)
  list(APPEND VEXOLANT_DEB_COMPONENTS vexolantd)
endif()
# The Debian revision: the packaging's own version of one upstream version.
set(VEXOLANT_DEB_RELEASE 1)
set(VEXOLANT_DEB_VERSION ${PROJECT_VERSION}-${VEXOLANT_DEB_RELEASE})

# The Debian files of every package, made at configure time into the build
# tree and installed only by the packages' component installs
# (EXCLUDE_FROM_ALL keeps them out of a plain `cmake --install`).
set(VEXOLANT_DEB_DIR ${CMAKE_CURRENT_BINARY_DIR}/deb)
file(MAKE_DIRECTORY ${VEXOLANT_DEB_DIR})

# copyright, in Debian's machine-readable format, from LICENSE: the MIT
# licence, which Debian names Expat.
file(STRINGS ${PROJECT_SOURCE_DIR}/LICENSE vexolant_license_lines)
set(vexolant_copyright_holders)
set(vexolant_license_text)
foreach(line IN LISTS vexolant_license_lines)
  if(line MATCHES "^Copyright \\(c\\) (.*)$")
    set(vexolant_copyright_holders "${CMAKE_MATCH_1}")
  elseif(vexolant_copyright_holders)
    # Continuation lines of the licence text: a space in front, and an empty
    # line written as " .". Empty lines before the text are left out.
    if(line STREQUAL "")
      if(vexolant_license_text)
        string(APPEND vexolant_license_text " .\n")
      endif()
    else()
      string(APPEND vexolant_license_text " ${line}\n")
    endif()
  endif()
endforeach()
if(NOT vexolant_copyright_holders OR NOT vexolant_license_text)
  message(FATAL_ERROR "LICENSE: no \"Copyright (c)\" line followed by the licence text")
endif()
file(WRITE ${VEXOLANT_DEB_DIR}/copyright
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: vexolant
Upstream-Contact: ${VEXOLANT_PACKAGE_MAINTAINER}

Files: *
Copyright: ${vexolant_copyright_holders}
License: Expat

License: Expat
${vexolant_license_text}")

# changelog.Debian.gz: cmake/deb/changelog compressed as Debian wants it,
# at the best compression and without a name or a time stamp inside. Its
# first entry must be the version being packaged.
set(VEXOLANT_DEB_CHANGELOG ${CMAKE_CURRENT_LIST_DIR}/deb/changelog)
file(STRINGS ${VEXOLANT_DEB_CHANGELOG} vexolant_changelog_top LIMIT_COUNT 1)
if(NOT vexolant_changelog_top MATCHES "^vexolant \\(${VEXOLANT_DEB_VERSION}\\) ")
  message(WARNING "cmake/deb/changelog: the first entry is not version ${VEXOLANT_DEB_VERSION}"
    " (${vexolant_changelog_top}); add an entry before making packages")
endif()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
  ${VEXOLANT_DEB_CHANGELOG} ${PROJECT_SOURCE_DIR}/LICENSE)
find_program(VEXOLANT_GZIP gzip REQUIRED)
execute_process(COMMAND ${VEXOLANT_GZIP} -9n -c ${VEXOLANT_DEB_CHANGELOG}
  OUTPUT_FILE ${VEXOLANT_DEB_DIR}/changelog.Debian.gz
  RESULT_VARIABLE vexolant_gzip_result)
if(NOT vexolant_gzip_result EQUAL 0)
  message(FATAL_ERROR "gzip of ${VEXOLANT_DEB_CHANGELOG} failed: ${vexolant_gzip_result}")
endif()

foreach(package IN LISTS VEXOLANT_DEB_COMPONENTS)
  install(FILES ${VEXOLANT_DEB_DIR}/copyright ${VEXOLANT_DEB_DIR}/changelog.Debian.gz
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package}
    COMPONENT ${package} EXCLUDE_FROM_ALL)
endforeach()

# Left at CPack's default on purpose: CPack puts a summary set here in front
# of every package's description, and each package has a summary of its own.
unset(CPACK_PACKAGE_DESCRIPTION_SUMMARY)
set(CPACK_PACKAGE_NAME vexolant)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${VEXOLANT_PACKAGE_MAINTAINER}")
set(CPACK_RESOURCE_FILE_LICENSE "${PROJECT_SOURCE_DIR}/LICENSE")
set(CPACK_GENERATOR DEB)
set(CPACK_COMPONENTS_ALL ${VEXOLANT_DEB_COMPONENTS})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_OUTPUT_FILE_PREFIX ${PROJECT_BINARY_DIR}/dist)
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/deb/check-prefix.cmake)
set(CPACK_VEXOLANT_BUILD_PREFIX ${CMAKE_INSTALL_PREFIX})
# Before the packages are made from the staged files: the programs and
# libraries are stripped, the manual pages and the larger documents
# compressed, as Debian ships them (a plain `cmake --install` keeps them as
# they are built).
set(CPACK_VEXOLANT_STRIP ${CMAKE_STRIP})
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/deb/strip.cmake
  ${CMAKE_CURRENT_LIST_DIR}/deb/compress.cmake)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${VEXOLANT_DEB_RELEASE})
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Depends on the C and C++ runtime, as dpkg-shlibdeps finds them (dpkg-dev).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# All three packages come from one source package.
set(CPACK_DEBIAN_PACKAGE_SOURCE vexolant)

set(CPACK_DEBIAN_VEXOLANT_PACKAGE_NAME vexolant)
set(CPACK_DEBIAN_VEXOLANT_PACKAGE_SECTION utils)
# Descriptions: the summary line, then the text (CPack indents it).
set(CPACK_DEBIAN_VEXOLANT_DESCRIPTION
  "drive a printer on a serial port from the command line
vexolant performs one framed, acknowledged exchange with a printer on a
serial port per run (STX, text, ETX and an XOR check byte; ACK, NAK and ENQ
answers; up to three attempts), prints a result triple and stores it in a
result file. vexolant-sim is a virtual printer on a pseudo-terminal for
trying and testing programs without a printer.")
set(CPACK_DEBIAN_VEXOLANT_PACKAGE_CONTROL_EXTRA
  "${CMAKE_CURRENT_LIST_DIR}/deb/postinst;${CMAKE_CURRENT_LIST_DIR}/deb/postrm")

set(CPACK_DEBIAN_LIBVEXOLANT1_PACKAGE_NAME libvexolant1)
set(CPACK_DEBIAN_LIBVEXOLANT1_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_LIBVEXOLANT1_DESCRIPTION
  "library to drive a printer on a serial port
libvexolant runs the operations of the console tool vexolant in-process,
behind a C API: a program opens a port once and sends as many requests as
it likes. Each performs one framed, acknowledged exchange with the printer
(STX, text, ETX and an XOR check byte; ACK, NAK and ENQ answers; up to three
attempts).
.
This package holds the shared library.")
# The shlibs file, which makes programs built against this version depend on
# it or a later one (only this package holds a shared library).
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
# The ldconfig trigger in place of maintainer scripts that call ldconfig.
set(CPACK_VEXOLANT_LDCONFIG_PACKAGE libvexolant1)
set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/deb/ldconfig-trigger.cmake)

set(CPACK_DEBIAN_LIBVEXOLANT-DEV_PACKAGE_NAME libvexolant-dev)
set(CPACK_DEBIAN_LIBVEXOLANT-DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_LIBVEXOLANT-DEV_PACKAGE_DEPENDS "libvexolant1 (= ${VEXOLANT_DEB_VERSION})")
set(CPACK_DEBIAN_LIBVEXOLANT-DEV_DESCRIPTION
  "library to drive a printer on a serial port (development files)
libvexolant runs the operations of the console tool vexolant in-process,
behind a C API: a program opens a port once and sends as many requests as
it likes.
.
This package holds the headers vexolant/vexolant.h and vexolant/version.h,
the static library, the
pkg-config file, the CMake package and the manual page libvexolant(3).")

# vexolantd: the service, its systemd unit, its default configuration (a
# conffile) and its manual pages, and the fleet link's head office command
# vexolant-fleet; the maintainer scripts make its system user and its token.
# dpkg-shlibdeps adds what the fleet link links to (libpaho-mqtt1.3 for
# MQTT 5, libssl3 for TLS and the job signatures) with the other libraries.
set(CPACK_DEBIAN_VEXOLANTD_PACKAGE_NAME vexolantd)
set(CPACK_DEBIAN_VEXOLANTD_PACKAGE_SECTION net)
set(CPACK_DEBIAN_VEXOLANTD_PACKAGE_DEPENDS "libvexolant1 (= ${VEXOLANT_DEB_VERSION}), adduser")
set(CPACK_DEBIAN_VEXOLANTD_DESCRIPTION
  "local print service for printers on serial ports
vexolantd takes print jobs as JSON over HTTP on the loopback interface,
keeps one queue per printer and a durable journal of every job (SQLite),
and runs each printer's jobs one at a time in the order accepted, through
libvexolant. A job that was running at a crash is reported as unknown,
never sent again by itself; an idempotency key makes a retry safe. It has
a small status page, a bearer token, and Host and origin checks.
.
Its fleet link takes jobs from a head office's MQTT 5 broker into the same
queues, each run once across crashes and outages, optionally signed;
vexolant-fleet sends them from the head office.")
# dpkg-shlibdeps finds libvexolant.so.1 in the build tree: vexolantd's
# dependency on it is the exact version above.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR}/src)
set(vexolantd_deb ${CMAKE_CURRENT_LIST_DIR}/deb/vexolantd)
set(CPACK_DEBIAN_VEXOLANTD_PACKAGE_CONTROL_EXTRA
  "${vexolantd_deb}/conffiles;${vexolantd_deb}/postinst;${vexolantd_deb}/prerm;${vexolantd_deb}/postrm")

include(CPack)
