# Checks a Windows DLL or program as shipped: its machine type, that it
# imports only system DLLs and the outside libraries it binds, and (with
# EXPORTS=ON) that its export table holds exactly the 33 nvt names,
# undecorated.
#   cmake -DOBJDUMP=... -DFILE=NivoraTest.dll -DFORMAT=pei-i386
#         -DOUTSIDE="quorlink.dll;e2.dll;flash.dll" -DEXPORTS=ON -P check_pe.cmake
cmake_policy(SET CMP0057 NEW)
execute_process(COMMAND ${OBJDUMP} -p ${FILE} OUTPUT_VARIABLE out RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} -p failed on ${FILE}")
endif()
get_filename_component(name ${FILE} NAME)

if(NOT out MATCHES "file format ${FORMAT}\n")
  message(FATAL_ERROR "${name} is not of format ${FORMAT}")
endif()
if(FORMAT STREQUAL "pei-i386" AND NOT out MATCHES "Magic[ \t]+010b[ \t]+\\(PE32\\)")
  message(FATAL_ERROR "${name} is not PE32")
endif()

# Imports: the system's DLLs and the named outside libraries only; above
# all no run-time DLL of the compiler (libstdc++, libgcc, libwinpthread).
set(system kernel32.dll user32.dll gdi32.dll advapi32.dll msvcrt.dll shell32.dll comdlg32.dll
  comctl32.dll ole32.dll ws2_32.dll ntdll.dll secur32.dll)
string(TOLOWER "${OUTSIDE}" outside)
string(REGEX MATCHALL "DLL Name: [^\n]+" imports "${out}")
set(imported "")
foreach(line ${imports})
  string(REGEX REPLACE "^DLL Name: " "" dll "${line}")
  string(STRIP "${dll}" dll)
  string(TOLOWER "${dll}" lower)
  if(NOT lower IN_LIST system AND NOT lower IN_LIST outside AND NOT lower MATCHES "^api-ms-win-")
    message(FATAL_ERROR "${name} imports ${dll}, which a Windows station does not have")
  endif()
  list(APPEND imported ${dll})
endforeach()
message(STATUS "${name}: ${FORMAT}, imports ${imported}")

if(EXPORTS)
  # The name table: "[   0] nvtAioGet" lines after "[Ordinal/Name Pointer] Table".
  string(FIND "${out}" "[Ordinal/Name Pointer] Table" start)
  if(start LESS 0)
    message(FATAL_ERROR "${name} has no export name table")
  endif()
  string(SUBSTRING "${out}" ${start} -1 table)
  string(REGEX REPLACE "\n\n.*" "" table "${table}")
  string(REGEX MATCHALL "\\[ *[0-9]+\\] [^\n]+" entries "${table}")
  set(found "")
  foreach(entry ${entries})
    string(REGEX REPLACE "^\\[ *[0-9]+\\] " "" export "${entry}")
    string(STRIP "${export}" export)
    list(APPEND found ${export})
  endforeach()
  include(${CMAKE_CURRENT_LIST_DIR}/exports.cmake)
  nvt_require_exports(found "${name} exports")
  list(LENGTH found n)
  message(STATUS "${name}: exactly the ${n} nvt functions exported, undecorated")
endif()
