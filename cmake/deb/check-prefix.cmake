# Read by cpack before it makes any package: the packages install under /usr,
# and only a build configured with that prefix has the multiarch library
# directory (lib/<triplet>) in its install rules.
if(CPACK_GENERATOR STREQUAL "DEB" AND NOT CPACK_VEXOLANT_BUILD_PREFIX STREQUAL "/usr")
  message(FATAL_ERROR "the build's install prefix is \"${CPACK_VEXOLANT_BUILD_PREFIX}\": "
    "configure it with -DCMAKE_INSTALL_PREFIX=/usr to make Debian packages (scripts/package does)")
endif()
