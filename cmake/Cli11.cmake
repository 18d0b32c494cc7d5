# CLI11 is header-only (Debian libcli11-dev). The cross build may not search
# the host's /usr/include as a whole (its C headers are not mingw's), so it
# sees the CLI11 headers through a folder that holds only them.
if(TARGET vorn_cli11)
  return()
endif()
add_library(vorn_cli11 INTERFACE)
if(WIN32)
  find_path(VORN_CLI11_HEADERS CLI/CLI.hpp PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH REQUIRED)
  set(cli11_view ${CMAKE_BINARY_DIR}/cli11-include)
  file(MAKE_DIRECTORY ${cli11_view})
  file(CREATE_LINK ${VORN_CLI11_HEADERS}/CLI ${cli11_view}/CLI SYMBOLIC)
  target_include_directories(vorn_cli11 SYSTEM INTERFACE ${cli11_view})
else()
  find_package(CLI11 CONFIG REQUIRED)
  target_link_libraries(vorn_cli11 INTERFACE CLI11::CLI11)
endif()
