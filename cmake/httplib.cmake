# cpp-httplib as the target nvt_httplib: the station's HTTP client of the
# line's MES and the stub MES program (and any other HTTP code of the
# station), on Linux and Windows alike.
#
# Debian's libcpp-httplib-dev is the compiled form: its httplib.h only
# declares, the code is in libcpp-httplib.so, built with OpenSSL (https), zlib
# and brotli; pkg-config gives the matching definitions. A cross build for
# Windows has no such library: it takes the header-only httplib.h of the same
# Debian source package, which scripts/windows-build.sh puts into the
# dependency folder ($NVT_WIN_DEPS/include), and is built without TLS (http
# only).
if(TARGET nvt_httplib)
  return()
endif()
add_library(nvt_httplib INTERFACE)
if(CMAKE_CROSSCOMPILING)
  find_path(NVT_HTTPLIB_INCLUDE_DIR httplib.h)
  set(nvt_httplib_whole FALSE)
  if(NVT_HTTPLIB_INCLUDE_DIR)
    file(STRINGS ${NVT_HTTPLIB_INCLUDE_DIR}/httplib.h nvt_httplib_body
      REGEX "^inline Client::Client\\(const std::string &scheme_host_port\\)")
    if(nvt_httplib_body)
      set(nvt_httplib_whole TRUE)
    endif()
  endif()
  if(NOT nvt_httplib_whole)
    message(FATAL_ERROR "no header-only httplib.h for the cross build: scripts/windows-build.sh puts the one "
      "of Debian's cpp-httplib source package into \$NVT_WIN_DEPS/include")
  endif()
  target_include_directories(nvt_httplib SYSTEM INTERFACE ${NVT_HTTPLIB_INCLUDE_DIR})
  find_package(Threads REQUIRED)
  target_link_libraries(nvt_httplib INTERFACE Threads::Threads)
  if(WIN32)
    # Windows 7 and later (Wine included), as for asio.
    target_compile_definitions(nvt_httplib INTERFACE _WIN32_WINNT=0x0601)
    target_link_libraries(nvt_httplib INTERFACE ws2_32)
  endif()
else()
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(NVT_HTTPLIB IMPORTED_TARGET GLOBAL cpp-httplib)
  if(NOT NVT_HTTPLIB_FOUND)
    message(FATAL_ERROR "cpp-httplib not found: install libcpp-httplib-dev (scripts/setup.sh)")
  endif()
  target_link_libraries(nvt_httplib INTERFACE PkgConfig::NVT_HTTPLIB)
endif()
