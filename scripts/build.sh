#!/usr/bin/env bash
# Configures and builds into build/ (or $NVT_BUILD_DIR).
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
build="${NVT_BUILD_DIR:-$top/build}"
cmake -S "$top" -B "$build" -G Ninja ${NVT_CMAKE_ARGS:-} >/dev/null
cmake --build "$build" -j "${NVT_JOBS:-$(nproc)}"
