# Where an installation puts things (GNU layout; the Debian package installs
# with the prefix /usr, so the configuration lands in /etc):
#   sbin/vornsvc, bin/vornctl, bin/vornpkg
#   <sysconfdir>/vorn/registry.reg   the configuration store, kept on upgrades
#   the systemd unit vornsvc.service, which passes that file to the service
#   share/man/man8/vornsvc.8.gz, man1/vornctl.1.gz, man1/vornpkg.1.gz
include(GNUInstallDirs)

set(VORN_SBINDIR ${CMAKE_INSTALL_FULL_SBINDIR})
set(VORN_CONFIG_FILE ${CMAKE_INSTALL_FULL_SYSCONFDIR}/vorn/registry.reg)

# systemd's own directory for packaged units when installing into /usr,
# otherwise below the prefix (systemd also reads /usr/local/lib/systemd/system).
if(NOT DEFINED VORN_SYSTEMD_UNIT_DIR)
  set(unit_dir ${CMAKE_INSTALL_PREFIX}/lib/systemd/system)
  if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
    find_package(PkgConfig QUIET)
    if(PkgConfig_FOUND)
      pkg_get_variable(systemd_unit_dir systemd systemdsystemunitdir)
    endif()
    if(systemd_unit_dir)
      set(unit_dir ${systemd_unit_dir})
    else()
      set(unit_dir /lib/systemd/system)
    endif()
  endif()
  set(VORN_SYSTEMD_UNIT_DIR ${unit_dir} CACHE PATH "Where the systemd unit is installed")
endif()

configure_file(${PROJECT_SOURCE_DIR}/config/vornsvc.service.in
               ${PROJECT_BINARY_DIR}/packaging/vornsvc.service @ONLY)

install(TARGETS vornsvc RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
install(TARGETS vornctl vornpkg RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_BINARY_DIR}/packaging/vornsvc.service DESTINATION ${VORN_SYSTEMD_UNIT_DIR})
install(FILES ${PROJECT_SOURCE_DIR}/config/package-registry.reg
        DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/vorn RENAME registry.reg)

# Manual pages from the programs' own --help, made with every build.
find_program(VORN_HELP2MAN help2man REQUIRED)
find_program(VORN_GZIP gzip REQUIRED)
set(vorn_man_pages)
function(vorn_man_page target section name)
  set(page ${PROJECT_BINARY_DIR}/packaging/man/${target}.${section}.gz)
  set(extra ${CMAKE_CURRENT_SOURCE_DIR}/man/${target}.h2m)
  add_custom_command(
    OUTPUT ${page}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/packaging/man
    # A sanitizer build's leak report at exit would fail --help.
    COMMAND ${CMAKE_COMMAND} -E env ASAN_OPTIONS=detect_leaks=0
            ${CMAKE_COMMAND} -DPROGRAM=$<TARGET_FILE:${target}> -DSECTION=${section}
            -DNAME=${name} -DINCLUDE=${extra} -DOUTPUT=${page} -DHELP2MAN=${VORN_HELP2MAN}
            -DGZIP=${VORN_GZIP} -P ${CMAKE_CURRENT_SOURCE_DIR}/man/man_page.cmake
    DEPENDS ${target} ${extra} ${CMAKE_CURRENT_SOURCE_DIR}/man/man_page.cmake
    COMMENT "Writing the manual page ${target}(${section})"
    VERBATIM)
  install(FILES ${page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
  set(vorn_man_pages ${vorn_man_pages} ${page} PARENT_SCOPE)
endfunction()
vorn_man_page(vornsvc 8 "installation service of an instrument computer")
vorn_man_page(vornctl 1 "find installation servers and install packages on instrument computers")
vorn_man_page(vornpkg 1 "write and check installation package descriptions and containers")
add_custom_target(vorn_man_pages ALL DEPENDS ${vorn_man_pages})
