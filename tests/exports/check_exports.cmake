# Lists the dynamic symbols the library defines and compares them with the
# 33 exported functions.
execute_process(COMMAND nm -D --defined-only ${LIB} OUTPUT_VARIABLE out RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIB}")
endif()
string(REPLACE "\n" ";" lines "${out}")
set(found "")
foreach(line ${lines})
  if(line MATCHES "^[0-9a-fA-F]+ ([A-Za-z]) (.+)$")
    set(kind ${CMAKE_MATCH_1})
    set(name ${CMAKE_MATCH_2})
    if(NOT kind STREQUAL "T")
      message(FATAL_ERROR "unexpected exported symbol of kind ${kind}: ${name}")
    endif()
    list(APPEND found ${name})
  endif()
endforeach()
set(expected nvtOpen nvtClose nvtGetVersion nvtGetTransports nvtGetLastError nvtGetChipId
  nvtLoadPtFirmware nvtGetPtFwBuildInfo nvtGetPtFwBuildId nvtGetPtFwCsVersion nvtGetPtFwApiVersion
  nvtRadSetXtalTrim nvtRadCwStart nvtRadStop nvtRadTxStart nvtRadTxGetPkts nvtRadRxStart nvtRadRxGetPkts
  nvtPioAssign nvtPioGet nvtPioSet nvtLedSet nvtAioSet nvtAioGet nvtUartLbTest
  nvtCsCacheReadFromChip nvtCsCacheWriteToChip nvtCsCacheReadFromFile nvtCsCacheWriteToFile
  nvtCsCacheReadItem nvtCsCacheWriteItem nvtCsCacheGetVersion nvtCsCacheFileMerge)
list(SORT found)
list(SORT expected)
if(NOT found STREQUAL expected)
  message(FATAL_ERROR "exported: ${found}\nexpected: ${expected}")
endif()
list(LENGTH found n)
message(STATUS "${n} nvt functions exported, nothing else")
