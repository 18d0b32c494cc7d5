# The header-only libraries of the command-line tools, as two interface
# targets: vorn_cli11 (CLI11, arguments) and vorn_json (nlohmann-json).
# Natively their CMake packages are found. The Windows cross build must not
# see the host's /usr/include as a whole (glibc's headers would shadow
# mingw's), so it gets a folder of links to just these two header folders.
include_guard(GLOBAL)

if(WIN32)
  set(host_headers ${CMAKE_BINARY_DIR}/host-headers)
  file(MAKE_DIRECTORY ${host_headers})
  foreach(folder CLI nlohmann)
    if(NOT EXISTS /usr/include/${folder})
      message(FATAL_ERROR "/usr/include/${folder} missing: run scripts/setup.sh")
    endif()
    file(CREATE_LINK /usr/include/${folder} ${host_headers}/${folder} SYMBOLIC)
  endforeach()
  add_library(vorn_cli11 INTERFACE)
  target_include_directories(vorn_cli11 SYSTEM INTERFACE ${host_headers})
  add_library(vorn_json INTERFACE)
  target_include_directories(vorn_json SYSTEM INTERFACE ${host_headers})
else()
  find_package(CLI11 2.1 CONFIG REQUIRED)
  find_package(nlohmann_json 3.10 CONFIG REQUIRED)
  add_library(vorn_cli11 INTERFACE)
  target_link_libraries(vorn_cli11 INTERFACE CLI11::CLI11)
  add_library(vorn_json INTERFACE)
  target_link_libraries(vorn_json INTERFACE nlohmann_json::nlohmann_json)
endif()
