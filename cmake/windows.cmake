# Settings of a Windows build, cross-compiled with MinGW-w64 (see the
# toolchain files beside this one and scripts/windows-build.sh).

# The DLLs carry the names that the programs bind, without a "lib" prefix.
set(CMAKE_SHARED_LIBRARY_PREFIX "")

# No Windows build of GoogleTest comes with the system: compile the sources
# that Debian's googletest package ships, as part of this build.
if(NVT_BUILD_TESTS AND CMAKE_CROSSCOMPILING AND EXISTS /usr/src/googletest/CMakeLists.txt)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
endif()

# CLI11, nlohmann-json and toml++ are header-only, but their package files
# on the build machine would put the whole of /usr/include on the cross
# compiler's path (and toml++'s links the machine's shared library). A
# package file of this build names a folder that holds only the package's
# headers instead.
function(nvt_host_headers package target headers)
  if(NOT CMAKE_CROSSCOMPILING OR TARGET ${target} OR NOT EXISTS /usr/include/${headers})
    return()
  endif()
  set(dir ${CMAKE_BINARY_DIR}/host-headers/${package})
  file(MAKE_DIRECTORY ${dir}/include)
  file(CREATE_LINK /usr/include/${headers} ${dir}/include/${headers} SYMBOLIC COPY_ON_ERROR)
  file(WRITE ${dir}/${package}Config.cmake
    "if(NOT TARGET ${target})\n"
    "  add_library(${target} INTERFACE IMPORTED)\n"
    "  set_target_properties(${target} PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${dir}/include\n"
    "    INTERFACE_COMPILE_DEFINITIONS \"${ARGN}\")\n"
    "endif()\n")
  file(WRITE ${dir}/${package}ConfigVersion.cmake
    "set(PACKAGE_VERSION 3.99)\nset(PACKAGE_VERSION_COMPATIBLE TRUE)\n")
  set(${package}_DIR ${dir} CACHE PATH "${package}'s headers for the cross build" FORCE)
endfunction()
nvt_host_headers(CLI11 CLI11::CLI11 CLI)
nvt_host_headers(nlohmann_json nlohmann_json::nlohmann_json nlohmann)
nvt_host_headers(tomlplusplus tomlplusplus::tomlplusplus toml++ TOML_HEADER_ONLY=1)

# The test programs run under Wine when ctest runs them; their test lists
# are read at test time, so building needs no Wine.
# A 64-bit build runs under wine64; a 32-bit one only where a Wine that runs
# 32-bit programs is installed as "wine" (not on a 64-bit-only system).
if(CMAKE_CROSSCOMPILING)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    find_program(NVT_WINE NAMES wine64 PATHS /usr/lib/wine NO_DEFAULT_PATH)
    find_program(NVT_WINE NAMES wine64 wine)
  else()
    find_program(NVT_WINE NAMES wine)
  endif()
  if(NVT_WINE)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${NVT_WINE})
  endif()
  set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)
endif()
