#!/usr/bin/env bash
# Does all set-up, builds, and runs the production station with the plan
# plans/sim.toml on two simulated DUTs in parallel, serials SIM-0001 and
# SIM-0002 (each with its NVM in a folder under the build folder, so a
# second run retests them) against the store build/station.db. A first run
# gives the store an address range.
# Arguments go to the station program (for example --operator NAME).
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
"$top/scripts/setup.sh"
"$top/scripts/build.sh"
build="${NVT_BUILD_DIR:-$top/build}"
station="$build/bin/station"
db="$build/station.db"
if ! "$station" addresses list --db "$db" 2>/dev/null | grep -q '^[0-9]'; then
  "$station" addresses add --db "$db" --nap 0x005B --uap 0x02 --first 0x000001 --last 0x00FFFF
fi
cd "$build"
set +e
"$station" --plan "$top/plans/sim.toml" --db "$db" --results "$build/results" \
  --dut "sim:nvm=$build/dut1,uartlink=$build/dut1.uart" --serial SIM-0001 \
  --dut "sim:nvm=$build/dut2,uartlink=$build/dut2.uart" --serial SIM-0002 "$@"
status=$?
set -e
"$station" addresses list --db "$db"
exit $status
