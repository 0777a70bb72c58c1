# Settings shared by the MinGW-w64 toolchain files: cross-compiles for
# Windows with the "posix" thread model (its C++ runtime has std::thread and
# std::mutex; the "win32" one does not). The including file sets
# CMAKE_SYSTEM_PROCESSOR and NVT_MINGW_TRIPLE first.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER   ${NVT_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${NVT_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER  ${NVT_MINGW_TRIPLE}-windres)
set(CMAKE_AR           ${NVT_MINGW_TRIPLE}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB       ${NVT_MINGW_TRIPLE}-ranlib CACHE FILEPATH "")
set(CMAKE_DLLTOOL      ${NVT_MINGW_TRIPLE}-dlltool CACHE FILEPATH "")

set(CMAKE_FIND_ROOT_PATH /usr/${NVT_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Libraries built for Windows outside this tree (Xerces-C, see
# scripts/windows-build.sh) are found under $NVT_WIN_DEPS.
if(DEFINED ENV{NVT_WIN_DEPS})
  list(APPEND CMAKE_FIND_ROOT_PATH $ENV{NVT_WIN_DEPS})
endif()

# The programs and DLLs carry their C and C++ run-time inside, so that a
# Windows station needs only the system DLLs beside them.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
# A DLL exports none of the run-time symbols linked into it.
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++ -Wl,--exclude-libs,ALL")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
