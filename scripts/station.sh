#!/usr/bin/env bash
# Installs the packages that are missing, brings the build up to date (both
# take about a second when there is nothing to do), starts the simulated RF
# tester and runs the production station with the plan plans/sim.toml on the
# simulated bench plans/sim-fixture.toml: two simulated DUTs in parallel,
# serials SIM-0001 and SIM-0002, each cabled to a port of the tester (each
# with its NVM in a folder under the build folder, so a second run retests
# them), against the store build/station.db. A first run gives the store an
# address range. The tester stops with the script.
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

# The simulated RF tester on a free loopback port; it says where once it listens.
ready="$(mktemp -u "${TMPDIR:-/tmp}/nvt-rftester.XXXXXX")"
"$build/bin/rftester" --listen 127.0.0.1:0 --ports 4 --ready-file "$ready" >"$build/rftester.log" 2>&1 &
tester_pid=$!
trap 'kill "$tester_pid" 2>/dev/null || true; rm -f "$ready"' EXIT
for _ in $(seq 500); do
  [ -s "$ready" ] && break
  kill -0 "$tester_pid" 2>/dev/null || { cat "$build/rftester.log" >&2; exit 2; }
  sleep 0.01
done
[ -s "$ready" ] || { echo "station.sh: the RF tester did not start: $(cat "$build/rftester.log")" >&2; exit 2; }

cd "$build"
set +e
"$station" --plan "$top/plans/sim.toml" --fixture "$top/plans/sim-fixture.toml" --tester "$(cat "$ready")" \
  --db "$db" --results "$build/results" --serial SIM-0001 --serial SIM-0002 "$@"
status=$?
set -e
"$station" addresses list --db "$db"
exit $status
