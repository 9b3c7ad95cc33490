# What `cmake --install` puts in place and how CPack packs it: a .deb for
# Linux, a .zip for Windows. Only the program and its documentation are
# installed; the simulator and the tests are not.
include(GNUInstallDirs)

# The manual page carries the version of the banner.
configure_file(doc/halvoranupdate.1.in halvoranupdate.1 @ONLY)
set(man_page ${CMAKE_CURRENT_BINARY_DIR}/halvoranupdate.1)

set(HALVORAN_PACKAGE_MAINTAINER "Halvoran update maintainers <halvoranupdate@example.org>"
  CACHE STRING "Maintainer named in the packages (Name <address>)")

if(WIN32)
  # One flat folder, as Windows users expect from a zip: the program, the
  # README as a .txt file (it opens in Notepad with a double click) and the
  # manual page.
  install(TARGETS halvoranupdate RUNTIME DESTINATION .)
  install(FILES README.md DESTINATION . RENAME README.txt)
  install(FILES ${man_page} DESTINATION .)
else()
  install(TARGETS halvoranupdate RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${man_page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
endif()

set(CPACK_PACKAGE_NAME halvoranupdate)
set(CPACK_PACKAGE_VENDOR "Halvoran")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${HALVORAN_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "Firmware update and channel lists for Halvoran receivers over a serial line")
# Lines of at most 72 characters: the .deb shows them as they are.
string(CONCAT CPACK_PACKAGE_DESCRIPTION
  "halvoranupdate services a Halvoran satellite receiver over a serial\n"
  "line (115200 baud, 8N1). Each run does one job: a firmware update from\n"
  "an image file, saving the receiver's channel list (satellites,\n"
  "transponders, channels, favourites) into a .cxf file, or loading such\n"
  "a file into the receiver. Its messages are in German.")
set(CPACK_PACKAGE_CHECKSUM SHA256)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME "halvoranupdate-${PROJECT_VERSION}-win64")
else()
  set(CPACK_GENERATOR DEB)
  # halvoranupdate_<version>_<architecture>.deb
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${HALVORAN_PACKAGE_MAINTAINER}")
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # The dependency on libc6 with the version the binary needs, as
  # dpkg-shlibdeps finds it (libstdc++ and libgcc are linked in).
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
endif()

include(CPack)
