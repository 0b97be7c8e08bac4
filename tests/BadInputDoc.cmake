# BadInputDoc.cmake - makes the tables of docs/BAD_INPUT.md from what the
# bad-input tests record, then checks the document against them or rewrites
# it.
#
#   cmake -DVALIDATION_TESTS=<validation_tests> -DTOOL_TESTS=<tool_tests>
#         -DTOOL_FILTER=<gtest filter> -DDOCUMENT=<docs/BAD_INPUT.md>
#         -DWORK=<scratch folder> -DMODE=check|update -P BadInputDoc.cmake
#
# The tests run with CORVANE_BAD_INPUT_ROWS=<WORK>, and each writes its
# tables there (library.md, engine.md, tool.md): every case with what it
# actually got. A failing test stops the script, so no row comes from a case
# that did not hold. In the document each table stands between
# "<!-- rows: NAME -->" and "<!-- end of rows -->" and is replaced by NAME.md;
# the text around the tables is kept as written. "check" fails when the
# document differs from the result and shows the difference; "update"
# writes the result into the document.
cmake_minimum_required(VERSION 3.25)

foreach(_var VALIDATION_TESTS TOOL_TESTS TOOL_FILTER DOCUMENT WORK MODE)
  if(NOT DEFINED ${_var})
    message(FATAL_ERROR "BadInputDoc.cmake: -D${_var}=... is required")
  endif()
endforeach()
if(NOT MODE STREQUAL "check" AND NOT MODE STREQUAL "update")
  message(FATAL_ERROR "BadInputDoc.cmake: MODE must be check or update, not '${MODE}'")
endif()

file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}")

function(record_rows program filter)
  execute_process(
    COMMAND "${CMAKE_COMMAND}" -E env "CORVANE_BAD_INPUT_ROWS=${WORK}" "${program}" "--gtest_filter=${filter}"
    RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "${output}\nBadInputDoc.cmake: ${program} --gtest_filter=${filter} failed (${result}); "
                        "the table is made only from cases that hold")
  endif()
endfunction()

record_rows("${VALIDATION_TESTS}" "BadInput*")
record_rows("${TOOL_TESTS}" "${TOOL_FILTER}")

file(READ "${DOCUMENT}" _before)
set(_text "${_before}")
set(_end "<!-- end of rows -->")
foreach(_table library engine tool)
  set(_begin "<!-- rows: ${_table} -->\n")
  if(NOT EXISTS "${WORK}/${_table}.md")
    message(FATAL_ERROR "BadInputDoc.cmake: the tests wrote no ${_table} table")
  endif()
  file(READ "${WORK}/${_table}.md" _rows)
  string(FIND "${_text}" "${_begin}" _at)
  if(_at EQUAL -1)
    message(FATAL_ERROR "BadInputDoc.cmake: ${DOCUMENT} has no line \"<!-- rows: ${_table} -->\"")
  endif()
  string(LENGTH "${_begin}" _length)
  math(EXPR _from "${_at} + ${_length}")
  string(SUBSTRING "${_text}" 0 ${_from} _head)
  string(SUBSTRING "${_text}" ${_from} -1 _tail)
  string(FIND "${_tail}" "${_end}" _stop)
  if(_stop EQUAL -1)
    message(FATAL_ERROR "BadInputDoc.cmake: the ${_table} table in ${DOCUMENT} has no \"${_end}\" after it")
  endif()
  string(SUBSTRING "${_tail}" ${_stop} -1 _tail)
  set(_text "${_head}${_rows}${_tail}")
endforeach()

if(_text STREQUAL _before)
  return()
endif()
if(MODE STREQUAL "update")
  file(WRITE "${DOCUMENT}" "${_text}")
  message(STATUS "BadInputDoc.cmake: rewrote ${DOCUMENT}")
  return()
endif()
file(WRITE "${WORK}/BAD_INPUT.md" "${_text}")
find_program(_diff diff)
if(_diff)
  execute_process(COMMAND "${_diff}" -u "${DOCUMENT}" "${WORK}/BAD_INPUT.md")
endif()
message(FATAL_ERROR "BadInputDoc.cmake: ${DOCUMENT} is not what the bad-input tests record (made: "
                    "${WORK}/BAD_INPUT.md); the target bad-input-doc rewrites it")
