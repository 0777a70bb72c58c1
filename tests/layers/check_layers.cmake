cmake_minimum_required(VERSION 3.25)
# Fails when a library source includes a header of a layer above its own,
# when a library or station source outside the platform files includes a
# header of the operating system, when a platform file of the station
# includes a station header other than platform.h, or
# when the transport is called outside the layers that own the device
# conversation. Run as: cmake -DSOURCE_DIR=<repo> -P check_layers.cmake
#
#   support  <-  core  <-  ptest, cscache  <-  api
#
# cscache may use ptest only for the lookup-table reader. The operating
# system's own headers are included only by the platform files of the
# library (support/platform_*, support/serialport_*) and of the station
# (tools/station/platform_*).
set(allowed_support "support")
set(allowed_core    "support;core")
set(allowed_ptest   "support;core;ptest")
set(allowed_cscache "support;core;cscache")
set(allowed_api     "support;core;ptest;cscache;api")
set(cscache_from_ptest "ptest/lookuptable.h;ptest/memoryreader.h")

# Files that may call qlk_ functions: the protocol layer, the device targets
# of the CS cache, and the transport's own error text in core.
set(transport_files_regex "^testlib/(ptest/.*|cscache/devicetargets\\.cpp|core/transport\\.cpp)$")

set(problems "")
foreach(layer support core ptest cscache api)
  file(GLOB_RECURSE files RELATIVE ${SOURCE_DIR} ${SOURCE_DIR}/testlib/${layer}/*.h ${SOURCE_DIR}/testlib/${layer}/*.cpp)
  foreach(f ${files})
    file(STRINGS ${SOURCE_DIR}/${f} includes REGEX "^[ \t]*#[ \t]*include[ \t]*\"[a-z]+/[^\"]+\"")
    foreach(line ${includes})
      string(REGEX REPLACE ".*\"(([a-z]+)/[^\"]+)\".*" "\\1" header "${line}")
      string(REGEX REPLACE "/.*" "" target_layer "${header}")
      if(NOT target_layer IN_LIST allowed_${layer})
        if(layer STREQUAL "cscache" AND header IN_LIST cscache_from_ptest)
          continue()
        endif()
        list(APPEND problems "${f}: includes ${header} of layer ${target_layer}")
      endif()
    endforeach()
    if(NOT f MATCHES "${transport_files_regex}")
      file(STRINGS ${SOURCE_DIR}/${f} calls REGEX "qlk_[a-z_]+[ \t]*\\(")
      if(calls)
        list(APPEND problems "${f}: calls the transport (qlk_) outside ptest and the device targets")
      endif()
    endif()
  endforeach()
endforeach()

set(system_headers_regex "^[ \t]*#[ \t]*include[ \t]*<(windows\\.h|termios\\.h|unistd\\.h|fcntl\\.h|poll\\.h|sys/[a-z_]+\\.h)>")
set(platform_files_regex "^(testlib/support/(platform|serialport)_[a-z0-9_]+\\.cpp|tools/station/platform_[a-z0-9]+\\.cpp)$")
file(GLOB_RECURSE seam_files RELATIVE ${SOURCE_DIR}
  ${SOURCE_DIR}/testlib/*.h ${SOURCE_DIR}/testlib/*.cpp ${SOURCE_DIR}/tools/station/*.h ${SOURCE_DIR}/tools/station/*.cpp)
foreach(f ${seam_files})
  if(f MATCHES "${platform_files_regex}")
    continue()
  endif()
  file(STRINGS ${SOURCE_DIR}/${f} system REGEX "${system_headers_regex}")
  foreach(line ${system})
    string(REGEX REPLACE ".*<([^>]+)>.*" "\\1" header "${line}")
    list(APPEND problems "${f}: includes <${header}> outside the platform files")
  endforeach()
endforeach()

# The station's platform files are the bottom of the station: they include
# no station header but their own interface.
file(GLOB station_platform_files RELATIVE ${SOURCE_DIR}
  ${SOURCE_DIR}/tools/station/platform.h ${SOURCE_DIR}/tools/station/platform_*.cpp)
foreach(f ${station_platform_files})
  file(STRINGS ${SOURCE_DIR}/${f} includes REGEX "^[ \t]*#[ \t]*include[ \t]*\"[^\"]+\"")
  foreach(line ${includes})
    string(REGEX REPLACE ".*\"([^\"]+)\".*" "\\1" header "${line}")
    if(NOT header STREQUAL "platform.h")
      list(APPEND problems "${f}: includes ${header}, a station header above the platform files")
    endif()
  endforeach()
endforeach()

if(problems)
  string(REPLACE ";" "\n  " text "${problems}")
  message(FATAL_ERROR "layer rules broken:\n  ${text}")
endif()
message(STATUS "layer rules hold")
