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
