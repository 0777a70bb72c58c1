#!/usr/bin/env bash
# Installs the packages that are missing, brings the build up to date (both
# take about a second when there is nothing to do), and runs the production
# station with the plan plans/sim.toml on two simulated DUTs in parallel
# (each with its NVM in a folder under the build folder, so a second run
# retests them) against the store build/station.db. A first run gives the
# store an address range. Arguments go to the station program (for example
# --operator NAME).
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
"$top/scripts/setup.sh"
"$top/scripts/build.sh"
build="${NVT_BUILD_DIR:-$top/build}"
station="$build/bin/station"
db="$build/station.db"
if ! "$station" addresses list --db "$db" | grep -q '^[0-9]'; then
  "$station" addresses add --db "$db" --nap 0x005B --uap 0x02 --first 0x000001 --last 0x00FFFF
fi
cd "$build"
set +e
"$station" --plan "$top/plans/sim.toml" --db "$db" --results "$build/results" \
  --dut "sim:nvm=$build/dut1,uartlink=$build/dut1.uart" \
  --dut "sim:nvm=$build/dut2,uartlink=$build/dut2.uart" "$@"
status=$?
set -e
"$station" addresses list --db "$db"
exit $status
