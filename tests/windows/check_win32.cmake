# Runs the cross compiler in syntax-only mode over every library source
# that builds on Windows; any warning or error fails the check.
file(GLOB sources ${SOURCE_DIR}/testlib/*/*.cpp)
list(FILTER sources EXCLUDE REGEX "_posix\\.cpp$")
# Only the XML parser's own headers come from the host: the host's C library
# headers must not mix with the cross compiler's.
file(MAKE_DIRECTORY ${WORK_DIR}/xinc)
file(CREATE_LINK ${XERCES_INCLUDE}/xercesc ${WORK_DIR}/xinc/xercesc SYMBOLIC RESULT ignored)
set(failed "")
foreach(src ${sources})
  execute_process(
    COMMAND ${CXX} -std=c++17 -fsyntax-only -Wall -Wextra -Werror -DNVT_BUILDING_LIBRARY
      -I${SOURCE_DIR}/include -I${SOURCE_DIR}/outside/include
      -I${SOURCE_DIR}/testlib
      -isystem ${WORK_DIR}/xinc ${src}
    RESULT_VARIABLE rc ERROR_VARIABLE err OUTPUT_VARIABLE out)
  if(NOT rc EQUAL 0)
    message("${src}:\n${err}")
    list(APPEND failed ${src})
  endif()
endforeach()
list(LENGTH sources n)
if(failed)
  message(FATAL_ERROR "sources that do not compile for 32-bit Windows: ${failed}")
endif()
message(STATUS "${n} library sources compile for 32-bit Windows")
