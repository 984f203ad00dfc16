# Builds the serial layer's reference and fails on any doxygen warning.
#
#   cmake -DDOXYGEN=<doxygen> -DAWK=<awk> -DSOURCE_DIR=<source tree>
#         -DHEADERS=<list> -DGENERATED=<list> -DSIO_VERSION=<version>
#         -DOUTPUT_DIR=<dir> -P run-doxygen.cmake
#
# HEADERS are the public headers, relative to the source tree; GENERATED are
# "<installed path>=<generated file>=<its template>" for the headers the build
# writes. Both lists have "|" between their items. They are copied into OUTPUT_DIR/include/sio as they are installed,
# so that the pages show the include lines a program writes. A warning is
# shown at its line in the source tree (the copies and templates have the same
# lines).
string(REPLACE "|" ";" HEADERS "${HEADERS}")
string(REPLACE "|" ";" GENERATED "${GENERATED}")
set(stage ${OUTPUT_DIR}/include)
set(warn_log ${OUTPUT_DIR}/warnings.log)
file(REMOVE_RECURSE ${stage} ${OUTPUT_DIR}/html)
file(MAKE_DIRECTORY ${stage})

set(inputs "")
set(shown_as "")
foreach(header IN LISTS HEADERS)
  configure_file(${SOURCE_DIR}/${header} ${stage}/sio/${header} COPYONLY)
  list(APPEND inputs "\"${stage}/sio/${header}\"")
  list(APPEND shown_as "${stage}/sio/${header}=${SOURCE_DIR}/${header}")
endforeach()
foreach(entry IN LISTS GENERATED)
  string(REPLACE "=" ";" parts ${entry})
  list(GET parts 0 installed)
  list(GET parts 1 generated)
  list(GET parts 2 template)
  configure_file(${generated} ${stage}/sio/${installed} COPYONLY)
  list(APPEND inputs "\"${stage}/sio/${installed}\"")
  list(APPEND shown_as "${stage}/sio/${installed}=${template}")
endforeach()
list(APPEND inputs "\"${SOURCE_DIR}/docs/reference.md\"")
list(JOIN inputs " " DOCS_INPUT)
set(DOCS_MAINPAGE ${SOURCE_DIR}/docs/reference.md)

set(DOCS_OUTPUT_DIR ${OUTPUT_DIR})
set(DOCS_STAGE_DIR ${stage})
set(DOCS_WARN_LOG ${warn_log})
set(DOCS_FILTER "${AWK} -f ${SOURCE_DIR}/docs/comment-filter.awk")
configure_file(${SOURCE_DIR}/docs/Doxyfile.in ${OUTPUT_DIR}/Doxyfile @ONLY)

execute_process(COMMAND ${DOXYGEN} ${OUTPUT_DIR}/Doxyfile WORKING_DIRECTORY ${OUTPUT_DIR}
                RESULT_VARIABLE result)

file(READ ${warn_log} warnings)
foreach(pair IN LISTS shown_as)
  string(REPLACE "=" ";" parts ${pair})
  list(GET parts 0 copy)
  list(GET parts 1 original)
  string(REPLACE "${copy}" "${original}" warnings "${warnings}")
endforeach()
# A member a derived class inherits is reported once per class: each once.
string(REGEX MATCHALL "[^\n]*(warning|error): [^\n]*" found "${warnings}")
list(REMOVE_DUPLICATES found)
list(LENGTH found count)
if(count GREATER 0)
  list(JOIN found "\n" shown)
  message(NOTICE "${shown}")
endif()
if(count GREATER 0 OR NOT result EQUAL 0)
  file(REMOVE_RECURSE ${OUTPUT_DIR}/html)
  message(FATAL_ERROR "doxygen warnings: ${count}, exit status ${result} (the whole log: ${warn_log})")
endif()
message(STATUS "Reference: ${OUTPUT_DIR}/html/index.html")
