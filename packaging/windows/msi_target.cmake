# build/windows/vorn-<version>-x64.msi, made with every build of the windows
# preset.
find_program(VORN_WIXL wixl REQUIRED)
set(vorn_msi ${PROJECT_BINARY_DIR}/vorn-${PROJECT_VERSION}-x64.msi)
add_custom_command(
  OUTPUT ${vorn_msi}
  COMMAND ${CMAKE_COMMAND} -DVERSION=${PROJECT_VERSION} -DBIN_DIR=${PROJECT_BINARY_DIR}
          -DOUTPUT=${vorn_msi} -DWIXL=${VORN_WIXL}
          -P ${CMAKE_CURRENT_SOURCE_DIR}/windows/msi.cmake
  DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/windows/msi.cmake ${CMAKE_CURRENT_SOURCE_DIR}/windows/vorn.wxs
          vornsvc vornctl vornpkg
  COMMENT "Building the Windows Installer package vorn-${PROJECT_VERSION}-x64.msi"
  VERBATIM)
add_custom_target(vorn_msi ALL DEPENDS ${vorn_msi})
