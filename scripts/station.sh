#!/usr/bin/env bash
# Does all set-up, builds, and runs a production run of the station program
# on the simulated device. Arguments go to the station program.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
"$top/scripts/setup.sh"
"$top/scripts/build.sh"
build="${NVT_BUILD_DIR:-$top/build}"
exec "$build/bin/station" "$@"
