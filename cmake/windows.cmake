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

# CLI11 is header-only, but its package file on the build machine would put
# the whole of /usr/include on the cross compiler's path. A package file of
# this build names a folder that holds only CLI11's headers instead.
if(CMAKE_CROSSCOMPILING AND NOT TARGET CLI11::CLI11 AND EXISTS /usr/include/CLI/CLI.hpp)
  set(nvt_cli11 ${CMAKE_BINARY_DIR}/host-headers/cli11)
  file(MAKE_DIRECTORY ${nvt_cli11}/include)
  file(CREATE_LINK /usr/include/CLI ${nvt_cli11}/include/CLI SYMBOLIC COPY_ON_ERROR)
  file(WRITE ${nvt_cli11}/CLI11Config.cmake
    "if(NOT TARGET CLI11::CLI11)\n"
    "  add_library(CLI11::CLI11 INTERFACE IMPORTED)\n"
    "  set_target_properties(CLI11::CLI11 PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${nvt_cli11}/include)\n"
    "endif()\n")
  set(CLI11_DIR ${nvt_cli11} CACHE PATH "CLI11's headers for the cross build" FORCE)
endif()

# The test programs run under Wine when ctest runs them; their test lists
# are read at test time, so building needs no Wine.
if(CMAKE_CROSSCOMPILING)
  find_program(NVT_WINE NAMES wine64 PATHS /usr/lib/wine NO_DEFAULT_PATH)
  find_program(NVT_WINE NAMES wine64 wine)
  if(NVT_WINE)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${NVT_WINE})
  endif()
  set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)
endif()
