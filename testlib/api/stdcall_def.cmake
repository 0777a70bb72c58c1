# Writes a module-definition file with the exports as the compiler names
# them: on 32-bit Windows the __stdcall names carry "@" and their argument
# bytes ("nvtOpen@12"). dlltool -k makes from it an import library whose
# decorated symbols bind to the undecorated exports of the DLL.
#   cmake -DNM=... -DOBJECTS=a.obj;b.obj -DOUT=file.def -P stdcall_def.cmake
set(names "")
set(lines "")
foreach(object ${OBJECTS})
  execute_process(COMMAND ${NM} --defined-only ${object} OUTPUT_VARIABLE out RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${NM} failed on ${object}")
  endif()
  string(REPLACE "\n" ";" symbols "${out}")
  foreach(symbol ${symbols})
    if(symbol MATCHES " T _?(nvt[A-Za-z]+)(@[0-9]+)?$")
      list(APPEND names ${CMAKE_MATCH_1})
      string(APPEND lines "    ${CMAKE_MATCH_1}${CMAKE_MATCH_2}\n")
    endif()
  endforeach()
endforeach()

include(${CMAKE_CURRENT_LIST_DIR}/../../tests/exports/exports.cmake)
nvt_require_exports(names "compiled exports")
file(WRITE ${OUT}.tmp "LIBRARY NivoraTest.dll\nEXPORTS\n${lines}")
file(RENAME ${OUT}.tmp ${OUT})
