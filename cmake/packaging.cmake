# What `cmake --install` puts in place and how CPack packs it: a .deb for
# Linux, a .zip for Windows. Only the program and its documentation are
# installed; the simulator and the tests are not.
include(GNUInstallDirs)

# The manual page carries the version of the banner.
configure_file(doc/halvoranupdate.1.in halvoranupdate.1 @ONLY)
set(man_page ${CMAKE_CURRENT_BINARY_DIR}/halvoranupdate.1)

# The web page (scripts/web.sh builds it into build/web/page): both packages
# carry it, in a folder of its own that opens with a double click on
# index.html. Its three files and the script with the WebAssembly inside
# are the same on every system.
set(HALVORAN_WEB_PAGE "${CMAKE_CURRENT_SOURCE_DIR}/build/web/page"
  CACHE PATH "The built web page that the packages carry (scripts/web.sh)")
set(web_page_files index.html page.css page.js halvoranupdate.js)
list(TRANSFORM web_page_files PREPEND "${HALVORAN_WEB_PAGE}/" OUTPUT_VARIABLE web_page_paths)

set(HALVORAN_PACKAGE_MAINTAINER "Halvoran update maintainers <halvoranupdate@example.org>"
  CACHE STRING "Maintainer named in the packages (Name <address>)")

if(WIN32)
  # One flat folder, as Windows users expect from a zip: the program, the
  # README as a .txt file (it opens in Notepad with a double click), the
  # manual page, the licence and a short German LIESMICH.txt. The two .txt
  # files made here have Windows line ends.
  configure_file(LICENSE LICENSE.txt @ONLY NEWLINE_STYLE CRLF)
  configure_file(doc/LIESMICH.txt.in LIESMICH.txt @ONLY NEWLINE_STYLE CRLF)
  install(TARGETS halvoranupdate RUNTIME DESTINATION .)
  install(FILES README.md DESTINATION . RENAME README.txt)
  install(FILES ${man_page} DESTINATION .)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/LICENSE.txt ${CMAKE_CURRENT_BINARY_DIR}/LIESMICH.txt
    DESTINATION .)
  # Checked when installing or packing, so that a build without the page
  # still configures: install() fails when the page has not been built.
  install(FILES ${web_page_paths} DESTINATION web)
else()
  # The documentation as Debian expects it: the licence in a machine-readable
  # copyright file, the changelog and the manual page compressed with
  # gzip -n9 (no name or time stamp in the header, so the same input gives
  # the same bytes).
  file(READ LICENSE license)
  string(REGEX MATCH "Copyright \\(c\\) ([^\n]+)" match "${license}")
  set(license_copyright "${CMAKE_MATCH_1}")
  # The licence's text after its copyright line, each line indented by one
  # blank and blank lines written as " .".
  string(REGEX REPLACE "^.*Copyright \\(c\\) [^\n]*\n\n" "" license_text "${license}")
  string(STRIP "${license_text}" license_text)
  string(REPLACE "\n\n" "\n.\n" license_text "${license_text}")
  string(REPLACE "\n" "\n " license_text " ${license_text}")
  configure_file(doc/copyright.in copyright @ONLY)

  find_program(GZIP gzip REQUIRED)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
    ${CMAKE_CURRENT_SOURCE_DIR}/doc/changelog)
  foreach(pair "${man_page}|halvoranupdate.1.gz" "${CMAKE_CURRENT_SOURCE_DIR}/doc/changelog|changelog.gz")
    string(REPLACE "|" ";" pair "${pair}")
    list(GET pair 0 input)
    list(GET pair 1 output)
    execute_process(COMMAND ${GZIP} -n9 -c ${input}
      OUTPUT_FILE ${CMAKE_CURRENT_BINARY_DIR}/${output} COMMAND_ERROR_IS_FATAL ANY)
  endforeach()

  install(TARGETS halvoranupdate RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/halvoranupdate.1.gz
    DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES README.md ${CMAKE_CURRENT_BINARY_DIR}/copyright
    ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})
  install(FILES ${web_page_paths} DESTINATION ${CMAKE_INSTALL_DATADIR}/halvoranupdate/web)
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
