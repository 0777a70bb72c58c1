#!/usr/bin/env bash
# Does all set-up, builds, and runs every test.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
"$top/scripts/setup.sh"
"$top/scripts/build.sh"
build="${NVT_BUILD_DIR:-$top/build}"
cd "$build"
ctest --output-on-failure -j "${NVT_JOBS:-$(nproc)}"
