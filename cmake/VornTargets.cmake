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

# The portable core: one static library over the platform layer.
macro(add_vorn_core)
  vorn_glob_sources(VORN_CORE_SOURCES service net session device install federation client)
  add_library(vorn_core STATIC ${VORN_CORE_SOURCES})
  target_include_directories(vorn_core PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(vorn_core PUBLIC vorn_platform)
  include(${PROJECT_SOURCE_DIR}/cmake/CommandLineLibraries.cmake)
  target_link_libraries(vorn_core PRIVATE vorn_cli11)
  target_compile_definitions(vorn_core PUBLIC VORN_VERSION="${PROJECT_VERSION}")

  add_executable(vornsvc service/main.cpp)
  target_link_libraries(vornsvc PRIVATE vorn_core)
endmacro()
