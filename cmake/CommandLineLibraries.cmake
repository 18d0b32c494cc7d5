# The header-only libraries of the command-line tools, as interface targets:
# vorn_cli11 (CLI11, arguments), vorn_json (nlohmann-json) and vorn_boost
# (Boost.Beast and Asio, the console's HTTP server). Natively their CMake
# packages are found. The Windows cross build must not see the host's
# /usr/include as a whole (glibc's headers would shadow mingw's), so it gets
# a folder of links to just these header folders.
include_guard(GLOBAL)

if(WIN32)
  set(host_headers ${CMAKE_BINARY_DIR}/host-headers)
  file(MAKE_DIRECTORY ${host_headers})
  foreach(folder CLI nlohmann boost)
    if(NOT EXISTS /usr/include/${folder})
      message(FATAL_ERROR "/usr/include/${folder} missing: run scripts/setup.sh")
    endif()
    file(CREATE_LINK /usr/include/${folder} ${host_headers}/${folder} SYMBOLIC)
  endforeach()
  add_library(vorn_cli11 INTERFACE)
  target_include_directories(vorn_cli11 SYSTEM INTERFACE ${host_headers})
  add_library(vorn_json INTERFACE)
  target_include_directories(vorn_json SYSTEM INTERFACE ${host_headers})
  add_library(vorn_boost INTERFACE)
  target_include_directories(vorn_boost SYSTEM INTERFACE ${host_headers})
  # Asio picks its Windows API from this; 0x0A00 is also mingw's own default,
  # which the rest of the build sees. mswsock holds AcceptEx.
  target_compile_definitions(vorn_boost INTERFACE _WIN32_WINNT=0x0A00)
  target_link_libraries(vorn_boost INTERFACE ws2_32 mswsock)
else()
  find_package(CLI11 2.1 CONFIG REQUIRED)
  find_package(nlohmann_json 3.10 CONFIG REQUIRED)
  find_package(Boost 1.74 REQUIRED)
  find_package(Threads REQUIRED)
  add_library(vorn_cli11 INTERFACE)
  target_link_libraries(vorn_cli11 INTERFACE CLI11::CLI11)
  add_library(vorn_json INTERFACE)
  target_link_libraries(vorn_json INTERFACE nlohmann_json::nlohmann_json)
  add_library(vorn_boost INTERFACE)
  target_link_libraries(vorn_boost INTERFACE Boost::headers Threads::Threads)
endif()
