# The Windows .def file, the public header and the C program of tests/abi
# name exactly the exports of exports.cmake: the .def file and the header in
# the same order, the C program calls each at least once.
# Run as: cmake -DSOURCE_DIR=<repo> -P check_lists.cmake
include(${CMAKE_CURRENT_LIST_DIR}/exports.cmake)
set(problems "")

file(STRINGS ${SOURCE_DIR}/testlib/api/nivoratest.def def_lines REGEX "^[ \t]+nvt[A-Za-z]+[ \t]*$")
set(def_names "")
foreach(line IN LISTS def_lines)
  string(STRIP "${line}" name)
  list(APPEND def_names ${name})
endforeach()
if(NOT def_names STREQUAL NVT_EXPORTS)
  list(APPEND problems "nivoratest.def exports: ${def_names}")
endif()

file(STRINGS ${SOURCE_DIR}/include/nivoratest.h header_lines REGEX "^NVT_API .* NVT_CALL nvt[A-Za-z]+\\(")
set(header_names "")
foreach(line IN LISTS header_lines)
  string(REGEX REPLACE ".* NVT_CALL (nvt[A-Za-z]+)\\(.*" "\\1" name "${line}")
  list(APPEND header_names ${name})
endforeach()
if(NOT header_names STREQUAL NVT_EXPORTS)
  list(APPEND problems "nivoratest.h declares: ${header_names}")
endif()

file(READ ${SOURCE_DIR}/tests/abi/c_calls.c program)
foreach(name IN LISTS NVT_EXPORTS)
  if(NOT program MATCHES "${name}\\(")
    list(APPEND problems "tests/abi/c_calls.c does not call ${name}")
  endif()
endforeach()

if(problems)
  string(REPLACE ";" "\n  " text "${problems}")
  list(JOIN NVT_EXPORTS " " expected)
  message(FATAL_ERROR "export lists differ:\n  ${text}\nexpected: ${expected}")
endif()
list(LENGTH NVT_EXPORTS n)
message(STATUS "the .def file, the header and the C program agree on ${n} exports")
