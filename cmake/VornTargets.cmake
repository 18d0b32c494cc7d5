# Sources are collected by folder so that adding a file needs no edit here.
# Files named main.cpp are program entries and stay out of the libraries.

function(vorn_glob_sources out)
  set(result)
  foreach(dir IN LISTS ARGN)
    file(GLOB found CONFIGURE_DEPENDS "${PROJECT_SOURCE_DIR}/${dir}/*.cpp")
    list(FILTER found EXCLUDE REGEX "/main\\.cpp$")
    list(APPEND result ${found})
  endforeach()
  set(${out} ${result} PARENT_SCOPE)
endfunction()

include(${PROJECT_SOURCE_DIR}/cmake/CheckLayering.cmake)

# One static library per folder of the core, vorn_<folder>, linking only the
# folders it may use: those below it. The floors, from the ground up:
#   platform < base < protocol < device < net < install < client
#            < federation < session < service
# An include of a folder that is not below fails the configuration
# (vorn_check_layering), so the order cannot erode unnoticed.
function(vorn_add_layer folder)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "" "USES")
  vorn_glob_sources(sources ${folder})
  add_library(vorn_${folder} STATIC ${sources})
  target_include_directories(vorn_${folder} PUBLIC ${PROJECT_SOURCE_DIR})
  set(links vorn_platform)
  foreach(used IN LISTS arg_USES)
    list(APPEND links vorn_${used})
  endforeach()
  target_link_libraries(vorn_${folder} PUBLIC ${links})
  vorn_check_layering(${folder} platform ${arg_USES})
endfunction()

macro(add_vorn_core)
  vorn_add_layer(base)
  target_compile_definitions(vorn_base PUBLIC VORN_VERSION="${PROJECT_VERSION}")
  vorn_add_layer(protocol USES base)
  vorn_add_layer(device USES base)
  vorn_add_layer(net USES device protocol base)
  vorn_add_layer(install USES net base)
  vorn_add_layer(client USES install protocol base)
  vorn_add_layer(federation USES client net protocol base)
  vorn_add_layer(session USES federation client install device net protocol base)
  vorn_add_layer(service USES session federation client install device net protocol base)
  include(${PROJECT_SOURCE_DIR}/cmake/CommandLineLibraries.cmake)
  target_link_libraries(vorn_service PRIVATE vorn_cli11)

  add_executable(vornsvc service/main.cpp)
  target_link_libraries(vornsvc PRIVATE vorn_service)
endmacro()
