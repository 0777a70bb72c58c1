# Runs a program of the shared library with NVT_TRACE=<file>:0 in the
# environment and checks that the library, on its own, wrote entry and exit
# lines (category 0) and nothing else to the file, including lines from after
# the CS cache installed its observer.
# Run as: cmake -DPROGRAM=<program> -DTRACE=<file> -P check_trace.cmake
file(REMOVE ${TRACE})
execute_process(COMMAND ${CMAKE_COMMAND} -E env NVT_TRACE=${TRACE}:0 ${PROGRAM} RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${PROGRAM} failed under NVT_TRACE: ${rc}")
endif()
if(NOT EXISTS ${TRACE})
  message(FATAL_ERROR "no trace file ${TRACE} was written")
endif()
file(STRINGS ${TRACE} lines)
list(LENGTH lines n)
set(engine_seen OFF)
foreach(line IN LISTS lines)
  if(NOT line MATCHES "^\\[DEBUG\\] \\{[0-9][0-9][0-9]\\.[0-9][0-9][0-9]\\} [A-Za-z_0-9.]+\\([0-9]+\\): +\\[(IN |OUT)\\] ")
    message(FATAL_ERROR "not an entry or exit line of category 0: ${line}")
  endif()
  if(line MATCHES "\\[IN \\] CNvImageCache::CNvImageCache")
    set(engine_seen ON)
  endif()
endforeach()
if(NOT engine_seen)
  message(FATAL_ERROR "the trace has no line of the CS cache's engine (${n} lines)")
endif()
message(STATUS "${n} trace lines, all entry and exit lines")
