# Fails the configuration when a file of a folder includes a header of a
# folder it may not use (a folder above it, or one beside it that it does not
# link). Only project includes ("folder/file.h") are looked at.
include_guard(GLOBAL)

function(vorn_check_layering folder)
  set(allowed ${folder} ${ARGN})
  file(GLOB_RECURSE files CONFIGURE_DEPENDS
       "${PROJECT_SOURCE_DIR}/${folder}/*.h" "${PROJECT_SOURCE_DIR}/${folder}/*.cpp")
  set(faults)
  foreach(file IN LISTS files)
    file(STRINGS ${file} includes REGEX "^[ \t]*#[ \t]*include[ \t]+\"[A-Za-z0-9_-]+/")
    foreach(line IN LISTS includes)
      string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]+\"([A-Za-z0-9_-]+)/.*" "\\1" used "${line}")
      if(NOT used IN_LIST allowed)
        file(RELATIVE_PATH shown ${PROJECT_SOURCE_DIR} ${file})
        list(APPEND faults "  ${shown} includes ${used}/")
      endif()
    endforeach()
  endforeach()
  if(faults)
    list(JOIN faults "\n" text)
    message(FATAL_ERROR "${folder}/ may use only ${ARGN}:\n${text}")
  endif()
endfunction()
