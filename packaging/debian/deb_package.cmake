# The Debian package, built by CPack (cpack -G DEB, or the target "package")
# from the install rules: build/linux/vorn_<version>_<arch>.deb.
# The package is laid out for the prefix /usr, which the linux preset sets.
set(VORN_PACKAGE_MAINTAINER "Vorn developers <vorn@example.org>")
set(VORN_PACKAGE_VERSION ${PROJECT_VERSION})

# Files every Debian package carries: copyright and a compressed changelog.
string(TIMESTAMP VORN_PACKAGE_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
set(debian_out ${PROJECT_BINARY_DIR}/packaging/debian)
configure_file(${CMAKE_CURRENT_SOURCE_DIR}/debian/changelog.in ${debian_out}/changelog @ONLY)
configure_file(${CMAKE_CURRENT_SOURCE_DIR}/debian/conffiles.in ${debian_out}/conffiles @ONLY)
add_custom_command(
  OUTPUT ${debian_out}/changelog.gz
  COMMAND ${VORN_GZIP} -n -9 -c ${debian_out}/changelog > ${debian_out}/changelog.gz
  DEPENDS ${debian_out}/changelog
  VERBATIM)
add_custom_target(vorn_package_changelog ALL DEPENDS ${debian_out}/changelog.gz)
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/debian/copyright ${debian_out}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vorn)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${VORN_PACKAGE_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "installation service for instrument computers")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES TRUE)
# Only the programs, pages and files above: the test programs of the build
# tree install nothing.
set(CPACK_INSTALL_CMAKE_PROJECTS "${PROJECT_BINARY_DIR};vorn;ALL;/")

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${VORN_PACKAGE_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# CPack indents the lines and puts the summary above them.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "vornsvc runs on the computer of a measuring instrument as the systemd unit
vornsvc.service. Installation tools find the computer by discovery on UDP
port 13217, connect on TCP port 13217, upload packages in checked blocks,
have them installed and follow the progress.

The package also holds vornctl, the command-line client, and vornpkg, which
writes package descriptions and installer containers.")
# Dependencies from the shared libraries the programs link (dpkg-shlibdeps);
# the maintainer scripts need deb-systemd-helper and deb-systemd-invoke.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "init-system-helpers (>= 1.54~)")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_CURRENT_SOURCE_DIR}/debian/postinst ${CMAKE_CURRENT_SOURCE_DIR}/debian/prerm
    ${CMAKE_CURRENT_SOURCE_DIR}/debian/postrm ${debian_out}/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
include(CPack)
