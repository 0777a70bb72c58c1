# The one list of the library's exports, in the order of the public header.
# The symbol check, the .def file check and the C program check use it.
set(NVT_EXPORTS nvtOpen nvtClose nvtGetVersion nvtGetTransports nvtGetLastError nvtGetChipId
  nvtLoadPtFirmware nvtGetPtFwBuildInfo nvtGetPtFwBuildId nvtGetPtFwCsVersion nvtGetPtFwApiVersion
  nvtRadSetXtalTrim nvtRadCwStart nvtRadStop nvtRadTxStart nvtRadTxGetPkts nvtRadRxStart nvtRadRxGetPkts
  nvtPioAssign nvtPioGet nvtPioSet nvtLedSet nvtAioSet nvtAioGet nvtUartLbTest
  nvtCsCacheReadFromChip nvtCsCacheWriteToChip nvtCsCacheReadFromFile nvtCsCacheWriteToFile
  nvtCsCacheReadItem nvtCsCacheWriteItem nvtCsCacheGetVersion nvtCsCacheFileMerge)
