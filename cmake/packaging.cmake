# What `cmake --install` puts beside the library and its header (installed from the root): the
# programs, the simulated drive's driver, a CMake package (zorcomm::zorcomm) and a pkg-config
# file. Both package files find the library relative to their own place, so an installed tree
# can be moved (or installed with --prefix/DESTDIR) without editing them.
include(CMakePackageConfigHelpers)

# The same name as the installed package gives, for projects that add this tree as a subdirectory.
add_library(zorcomm::zorcomm ALIAS zorcomm)

set(ZORCOMM_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/zorcomm)

# The simulator and its virtual serial driver. The driver goes beside the program: `zorcomm`
# without --port or --driver looks for it next to its own file.
if(TARGET zorcomm-sim)
  install(TARGETS zorcomm-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
if(TARGET zorcomm-simdriver)
  install(TARGETS zorcomm-simdriver LIBRARY DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

install(EXPORT zorcommTargets NAMESPACE zorcomm:: FILE zorcommTargets.cmake
  DESTINATION ${ZORCOMM_CMAKE_DIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/zorcommConfig.cmake.in
  ${CMAKE_BINARY_DIR}/zorcommConfig.cmake
  INSTALL_DESTINATION ${ZORCOMM_CMAKE_DIR})
# The library's SONAME changes with the major version, and so does what a caller may expect.
write_basic_package_version_file(${CMAKE_BINARY_DIR}/zorcommConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/zorcommConfig.cmake ${CMAKE_BINARY_DIR}/zorcommConfigVersion.cmake
  DESTINATION ${ZORCOMM_CMAKE_DIR})

# pkg-config: the prefix is worked out from the file's own folder (${pcfiledir}).
set(ZORCOMM_PC_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
if(IS_ABSOLUTE ${CMAKE_INSTALL_LIBDIR} OR IS_ABSOLUTE ${CMAKE_INSTALL_INCLUDEDIR})
  set(ZORCOMM_PC_PREFIX ${CMAKE_INSTALL_PREFIX})
else()
  file(RELATIVE_PATH ZORCOMM_PC_UP /zorcomm-prefix/${ZORCOMM_PC_DIR} /zorcomm-prefix)
  string(REGEX REPLACE "/$" "" ZORCOMM_PC_UP "${ZORCOMM_PC_UP}")
  set(ZORCOMM_PC_PREFIX "\${pcfiledir}/${ZORCOMM_PC_UP}")
endif()
foreach(kind LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE ${CMAKE_INSTALL_${kind}})
    set(ZORCOMM_PC_${kind} ${CMAKE_INSTALL_${kind}})
  else()
    set(ZORCOMM_PC_${kind} "\${prefix}/${CMAKE_INSTALL_${kind}}")
  endif()
endforeach()
configure_file(${CMAKE_CURRENT_LIST_DIR}/zorcomm.pc.in ${CMAKE_BINARY_DIR}/zorcomm.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/zorcomm.pc DESTINATION ${ZORCOMM_PC_DIR})

# The settings file's reference and a commented sample.
install(FILES ${CMAKE_SOURCE_DIR}/docs/settings.md ${CMAKE_SOURCE_DIR}/examples/kernel.cfg
  DESTINATION ${CMAKE_INSTALL_DOCDIR})

if(ZORCOMM_BUILD_TESTS)
  # Installs into the build tree, then builds examples/consumer against that tree, once through
  # find_package and once through pkg-config, and runs both against the installed simulated
  # drive; the installed program too.
  string(MD5 ZORCOMM_BUILD_TAG "${CMAKE_BINARY_DIR}")
  string(SUBSTRING "${ZORCOMM_BUILD_TAG}" 0 8 ZORCOMM_BUILD_TAG)
  add_test(NAME install_consumer
    COMMAND sh ${CMAKE_SOURCE_DIR}/examples/consumer/check_install.sh
      ${CMAKE_BINARY_DIR} ${CMAKE_BINARY_DIR}/install-test ${CMAKE_SOURCE_DIR}/examples/consumer
      ${PROJECT_VERSION} ${CMAKE_INSTALL_LIBDIR} ${CMAKE_INSTALL_BINDIR})
  set_tests_properties(install_consumer PROPERTIES
    LABELS install
    TIMEOUT 240
    ENVIRONMENT "ZORCOMM_SHM=/zorcomm-install-test-${ZORCOMM_BUILD_TAG};ZORCOMM_SANITIZE=${ZORCOMM_SANITIZE};CC=${CMAKE_C_COMPILER};CMAKE_GENERATOR=${CMAKE_GENERATOR}")
endif()

# The Debian package of the same tree (cpack -G DEB).
include(${CMAKE_CURRENT_LIST_DIR}/debian.cmake)
