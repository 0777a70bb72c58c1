#!/usr/bin/env bash
# Configures and builds into build/ (or $NVT_BUILD_DIR). A build folder that
# is configured already, with the same NVT_CMAKE_ARGS and no package
# installed since (CMake would look for packages anew), is only brought up
# to date: Ninja re-runs CMake itself when a CMakeLists.txt changed, and a
# build with nothing to do takes about a second.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
build="${NVT_BUILD_DIR:-$top/build}"
. "$top/scripts/ccache-env.sh"
args="${NVT_CMAKE_ARGS:-}"
stamp="$build/.nvt-cmake-args"
if [ ! -f "$build/build.ninja" ] || [ ! -f "$stamp" ] || [ "$(cat "$stamp")" != "$args" ] ||
   [ /var/lib/dpkg/status -nt "$stamp" ]; then
  rm -f "$stamp"
  cmake -S "$top" -B "$build" -G Ninja $args >/dev/null
  printf '%s' "$args" >"$stamp"
fi
cmake --build "$build" -j "${NVT_JOBS:-$(nproc)}"
