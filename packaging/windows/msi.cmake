# Builds the Windows Installer package of the service with wixl:
#   cmake -DVERSION=2.35.2 -DBIN_DIR=<windows build dir> -DOUTPUT=vorn.msi -P msi.cmake
# The product code follows from the version (a name-based UUID under the
# upgrade code): every version is a new product, which a major upgrade
# replaces, and building one version twice gives the same product again
# instead of a second copy next to the first.
foreach(required VERSION BIN_DIR OUTPUT)
  if(NOT DEFINED ${required})
    message(FATAL_ERROR "msi.cmake: ${required} not set")
  endif()
endforeach()
if(NOT DEFINED WIXL)
  find_program(WIXL wixl REQUIRED)
endif()

# Never changes: it ties all versions together.
set(upgrade_code B7E4C2A9-5D31-4F6E-8A0B-3C9D71E2F456)
get_filename_component(output "${OUTPUT}" ABSOLUTE)
string(UUID product_code NAMESPACE ${upgrade_code} NAME "vorn ${VERSION}" TYPE SHA1 UPPER)

execute_process(
  COMMAND ${WIXL} --arch x64
          -D Version=${VERSION}
          -D ProductCode={${product_code}}
          -D UpgradeCode={${upgrade_code}}
          -D ServiceExe=vornsvc.exe
          -D ClientExe=tools/vornctl/vornctl.exe
          -D PackageToolExe=tools/vornpkg/vornpkg.exe
          -o ${output} ${CMAKE_CURRENT_LIST_DIR}/vorn.wxs
  # wixl takes no absolute file sources: they are relative to the build.
  WORKING_DIRECTORY ${BIN_DIR}
  RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  file(REMOVE ${output})
  message(FATAL_ERROR "wixl failed (${status})")
endif()
