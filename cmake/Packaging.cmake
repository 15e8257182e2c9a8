# Installation (GNUInstallDirs, so --prefix and the usual overrides hold) and the
# Debian package that `cpack -G DEB` makes from the build tree.
include(GNUInstallDirs)

# On Windows, a zip of qztap.exe and the README: `cpack -G ZIP` makes
# qztap-<version>-win64.zip.
if(WIN32)
  install(TARGETS qztap RUNTIME DESTINATION .)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION .)
  set(CPACK_PACKAGE_NAME qztap)
  set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
  set(CPACK_PACKAGE_FILE_NAME qztap-${PROJECT_VERSION}-win64)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
  set(CPACK_STRIP_FILES ON)
  include(CPack)
  return()
endif()

install(TARGETS qztap RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
configure_file(${PROJECT_SOURCE_DIR}/doc/qztap.1.in ${PROJECT_BINARY_DIR}/qztap.1 @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/qztap.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

set(CPACK_PACKAGE_NAME qztap)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
# The project has no mailing address yet; whoever publishes the package sets theirs.
set(QZTAP_PACKAGE_MAINTAINER "the qztap authors <qztap@example.org>" CACHE STRING
    "Maintainer of the Debian package, as \"name <address>\"")
set(CPACK_PACKAGE_CONTACT "${QZTAP_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "stream the system audio output as raw 16 kHz mono samples")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Depends comes from the libraries the binary really links (libc6), and libpulse0, which
# it opens at run time, at the version from which libpulse0's symbols file dates every
# function qztap calls.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libpulse0 (>= 0.99.1)")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_PACKAGE_DESCRIPTION "qztap taps what the machine is playing, the monitor of the sound server's
default output (PulseAudio, or PipeWire through its PulseAudio server), and
writes it to standard output as raw 16000 Hz mono 32-bit float samples. It is
made to be started by another program, such as live transcription with a
speech recogniser, which reads the pipe. It reports its state with short
keyword lines on standard error and ends with a distinct exit code for each
fatal condition.")

# A Debian package also carries its copyright file and changelog, and compresses
# its manual pages; a plain `cmake --install` installs neither and leaves the page
# as it is. These steps run on cpack's staging tree only.
configure_file(${PROJECT_SOURCE_DIR}/packaging/changelog ${PROJECT_BINARY_DIR}/packaging/changelog
               @ONLY)
set(QZTAP_PACKAGING_DIR ${PROJECT_BINARY_DIR}/packaging)
set(QZTAP_COPYRIGHT_FILE ${PROJECT_SOURCE_DIR}/packaging/copyright)
set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/packaging/debian_files.cmake)
set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/packaging/repack_deb.cmake)
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_BINARY_DIR}/packaging/cpack_project.cmake)
file(WRITE ${CPACK_PROJECT_CONFIG_FILE}
     "set(QZTAP_PACKAGING_DIR \"${QZTAP_PACKAGING_DIR}\")\n"
     "set(QZTAP_COPYRIGHT_FILE \"${QZTAP_COPYRIGHT_FILE}\")\n"
     "set(QZTAP_SOURCE_DIR \"${PROJECT_SOURCE_DIR}\")\n"
     "include(\"${PROJECT_SOURCE_DIR}/packaging/source_date_epoch.cmake\")\n")

include(CPack)
