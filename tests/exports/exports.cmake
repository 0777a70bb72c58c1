# The one list of the library's exports, in the order of the public header.
# The symbol check, the .def file check and the C program check use it.
set(NVT_EXPORTS nvtOpen nvtClose nvtGetVersion nvtGetTransports nvtGetLastError nvtGetChipId
  nvtLoadPtFirmware nvtGetPtFwBuildInfo nvtGetPtFwBuildId nvtGetPtFwCsVersion nvtGetPtFwApiVersion
  nvtRadSetXtalTrim nvtRadCwStart nvtRadStop nvtRadTxStart nvtRadTxGetPkts nvtRadRxStart nvtRadRxGetPkts
  nvtPioAssign nvtPioGet nvtPioSet nvtLedSet nvtAioSet nvtAioGet nvtUartLbTest
  nvtCsCacheReadFromChip nvtCsCacheWriteToChip nvtCsCacheReadFromFile nvtCsCacheWriteToFile
  nvtCsCacheReadItem nvtCsCacheWriteItem nvtCsCacheGetVersion nvtCsCacheFileMerge)

# Stops with aWhat and both lists unless the list in the variable aFoundVar
# names exactly these exports, in any order.
function(nvt_require_exports aFoundVar aWhat)
  set(found ${${aFoundVar}})
  set(expected ${NVT_EXPORTS})
  list(SORT found)
  list(SORT expected)
  if(NOT found STREQUAL expected)
    message(FATAL_ERROR "${aWhat}: ${found}\nexpected: ${expected}")
  endif()
endfunction()
