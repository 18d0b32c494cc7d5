# CLI11 and nlohmann-json come from Debian's -dev packages as headers only.
# The Windows cross build must not see the host's /usr/include, so just these
# two header trees are copied into the build tree and offered from there.
foreach(header_tree CLI nlohmann)
  if(NOT EXISTS /usr/include/${header_tree})
    message(FATAL_ERROR "/usr/include/${header_tree} is missing: run scripts/setup.sh")
  endif()
  file(COPY /usr/include/${header_tree} DESTINATION ${PROJECT_BINARY_DIR}/header-only)
endforeach()

if(NOT TARGET vorn_cli11)
  add_library(vorn_cli11 INTERFACE)
  target_include_directories(vorn_cli11 SYSTEM INTERFACE ${PROJECT_BINARY_DIR}/header-only)
endif()
if(NOT TARGET vorn_json)
  add_library(vorn_json INTERFACE)
  target_include_directories(vorn_json SYSTEM INTERFACE ${PROJECT_BINARY_DIR}/header-only)
endif()
