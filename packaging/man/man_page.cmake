# Writes a compressed manual page from a program's own --help and --version,
# so that the page never tells another story than the program does:
#   cmake -DPROGRAM=... -DSECTION=1 -DNAME="one line" -DINCLUDE=extra.h2m
#         -DOUTPUT=prog.1.gz -P man_page.cmake
# help2man writes the page; each subcommand listed in the help gets its own
# --help under COMMANDS. INCLUDE adds the sections that --help does not
# hold (files, see also). The page is compressed without a time stamp, so
# equal input gives equal bytes.
foreach(required PROGRAM SECTION NAME OUTPUT HELP2MAN GZIP)
  if(NOT DEFINED ${required})
    message(FATAL_ERROR "man_page.cmake: ${required} not set")
  endif()
endforeach()

execute_process(COMMAND ${PROGRAM} --help OUTPUT_VARIABLE help RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${PROGRAM} --help failed: ${status}")
endif()

# CLI11 lists subcommands under a "Subcommands:" heading, one per line with
# two leading blanks.
set(commands)
string(REPLACE "\n" ";" lines "${help}")
set(in_list FALSE)
foreach(line IN LISTS lines)
  if(line MATCHES "^[Ss][Uu][Bb][Cc][Oo][Mm][Mm][Aa][Nn][Dd][Ss]:")
    set(in_list TRUE)
  elseif(in_list AND line MATCHES "^  ([a-z][a-z0-9-]*)( |$)")
    list(APPEND commands ${CMAKE_MATCH_1})
  elseif(in_list AND NOT line MATCHES "^ ")
    set(in_list FALSE)
  endif()
endforeach()

get_filename_component(program_name "${PROGRAM}" NAME)
set(include_text "")
if(DEFINED INCLUDE)
  file(READ "${INCLUDE}" include_text)
endif()
if(commands)
  string(APPEND include_text "[COMMANDS]\n")
  foreach(command IN LISTS commands)
    execute_process(COMMAND ${PROGRAM} ${command} --help OUTPUT_VARIABLE sub_help
                    RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
      message(FATAL_ERROR "${PROGRAM} ${command} --help failed: ${status}")
    endif()
    # The usage line names the program, not where the build keeps it.
    string(REPLACE "${PROGRAM}" "${program_name}" sub_help "${sub_help}")
    # Literal text in roff: backslashes escaped, no line read as a request.
    string(REPLACE "\\" "\\e" sub_help "${sub_help}")
    string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" sub_help "${sub_help}")
    string(APPEND include_text ".SS \"${program_name} ${command}\"\n.nf\n${sub_help}.fi\n")
  endforeach()
endif()

get_filename_component(output_dir "${OUTPUT}" DIRECTORY)
string(REGEX REPLACE "\\.gz$" "" page "${OUTPUT}")
set(include_file "${page}.h2m")
file(WRITE "${include_file}" "${include_text}")
execute_process(
  COMMAND ${HELP2MAN} --no-info --no-discard-stderr --section=${SECTION} --name=${NAME}
          --include=${include_file} --output=${page} ${PROGRAM}
  RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "help2man failed for ${PROGRAM}: ${status}")
endif()
file(REMOVE "${OUTPUT}")
execute_process(COMMAND ${GZIP} -n -9 -f ${page} RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "gzip failed for ${page}: ${status}")
endif()
