# Compiles through ccache when it is installed, so that a rebuild of the
# same sources (another build folder, another clone, another CI run) takes
# its objects from the cache. A launcher given on the command line
# (-DCMAKE_CXX_COMPILER_LAUNCHER=...) wins; -DNVT_CCACHE=OFF or a machine
# without ccache builds with the plain compiler.
#
# Where the cache lives and how paths are shared between clones is ccache's
# own configuration; the scripts set CCACHE_BASEDIR to the checkout and
# CCACHE_NOHASHDIR, so that clones in different folders hit the same
# entries (scripts/ccache-env.sh).
option(NVT_CCACHE "Compile through ccache when it is installed" ON)
if(NVT_CCACHE)
  find_program(NVT_CCACHE_PROGRAM ccache)
  mark_as_advanced(NVT_CCACHE_PROGRAM)
  if(NVT_CCACHE_PROGRAM)
    foreach(lang C CXX)
      if(NOT CMAKE_${lang}_COMPILER_LAUNCHER)
        set(CMAKE_${lang}_COMPILER_LAUNCHER ${NVT_CCACHE_PROGRAM})
      endif()
    endforeach()
  endif()
endif()
