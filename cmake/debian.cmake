# The Debian package: `cpack -G DEB` in the build folder makes zorcomm_<version>_<arch>.deb with
# what `cmake --install` puts under the prefix (cmake/packaging.cmake), installed under /usr.
# One package holds the library, the development files and the programs: the development files
# are a few kilobytes beside them, and a runtime package of its own would have to be named for
# the library's SONAME (libzorcomm0) to let two major versions be installed side by side, which
# nothing needs yet. The program's RUNPATH $ORIGIN/../lib finds /usr/lib under /usr and the
# unpacked library in a tree unpacked anywhere else.
set(CPACK_PACKAGE_NAME zorcomm)
set(CPACK_PACKAGE_VENDOR "zorcomm developers")
set(CPACK_PACKAGE_CONTACT "zorcomm developers <dev@zorcomm.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "communication library for digital motion-control drives")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_GENERATOR DEB)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
string(CONCAT CPACK_DEBIAN_PACKAGE_DESCRIPTION
  "Applications load libzorcomm.so and call its 24 MSK_ functions to talk to\n"
  "digital motion-control drives over serial lines, CAN adapters and an Ethernet\n"
  "device server. The package holds the library, its header, pkg-config file and\n"
  "CMake package, the zorcomm command-line program, and the simulated drives\n"
  "(zorcomm-sim and the virtual serial driver libzorcomm-simdriver.so).")
# Depends from the ELF files' needs (dpkg-shlibdeps), and a shlibs file for packages built
# against this one.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Loaded at run time for the SocketCAN bit rate, not linked.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS libsocketcan2)
include(CPack)

if(ZORCOMM_BUILD_TESTS AND NOT ZORCOMM_SANITIZE)
  # Makes the package into a temporary folder, unpacks it there and runs the unpacked program and
  # examples/consumer (built against the unpacked tree) against the unpacked simulated drive.
  # A build with sanitizers makes no package for others: the test is left out there.
  find_program(ZORCOMM_DPKG_DEB dpkg-deb)
  if(NOT ZORCOMM_DPKG_DEB)
    message(STATUS "dpkg-deb not found: the test of the Debian package is left out")
    return()
  endif()
  add_test(NAME package_deb
    COMMAND sh ${CMAKE_SOURCE_DIR}/examples/consumer/check_deb.sh
      ${CMAKE_BINARY_DIR} ${CMAKE_SOURCE_DIR}/examples/consumer
      ${PROJECT_VERSION} ${CMAKE_INSTALL_LIBDIR} ${CMAKE_INSTALL_BINDIR})
  set_tests_properties(package_deb PROPERTIES
    LABELS install
    TIMEOUT 240
    ENVIRONMENT "ZORCOMM_SHM=/zorcomm-deb-test-${ZORCOMM_BUILD_TAG};CC=${CMAKE_C_COMPILER};CMAKE_GENERATOR=${CMAKE_GENERATOR}")
endif()
