#!/usr/bin/env bash
# Runs fuzz targets: fuzz-run.sh BIN_DIR WORK_DIR TARGET...
# Each target BIN_DIR/<target> runs for NVT_FUZZ_SECONDS (default 60) from
# its seed corpus <fuzz>/corpus/<target>/ with its dictionary
# <fuzz>/<target>.dict when it has one (<fuzz> is NVT_FUZZ_DIR, default the
# checkout's fuzz/), NVT_FUZZ_JOBS targets at a time (default: the number
# of cores). New inputs go to WORK_DIR/corpus/<target>, the log to
# WORK_DIR/fuzz-<target>.log, a failing input to WORK_DIR/artifacts/.
# A target fails on a non-zero status (a crash, a leak, a timeout) and on
# any sanitizer report in its log; the end of its log is printed then, and
# the script ends with status 1 once all targets have run.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
bin="$1" work="$2"
shift 2
seconds="${NVT_FUZZ_SECONDS:-60}"
jobs="${NVT_FUZZ_JOBS:-$(nproc)}"
fuzz="${NVT_FUZZ_DIR:-$top/fuzz}"

# Runs target $1; prints one line, and on failure the end of its log to
# stderr. Its status is the result.
run_one() {
  local t="$1" seeds="$fuzz/corpus/$1" corpus="$work/corpus/$1" log="$work/fuzz-$1.log"
  mkdir -p "$corpus" "$work/artifacts"
  if [ ! -d "$seeds" ]; then
    echo "fuzz-run: no seed corpus $seeds" >&2
    return 1
  fi
  local dict=()
  [ -f "$fuzz/$t.dict" ] && dict=(-dict="$fuzz/$t.dict")
  # The checked-in seeds are only read.
  if "$bin/$t" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 -print_final_stats=1 "${dict[@]}" \
       -artifact_prefix="$work/artifacts/$t-" "$corpus" "$seeds" >"$log" 2>&1 &&
     ! grep -q -e "runtime error:" -e "ERROR: AddressSanitizer" -e "ERROR: LeakSanitizer" "$log"; then
    echo "fuzz-run: $t: $(grep -m1 -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$') runs, clean"
  else
    # One write, so that the lines of two targets ending together stay apart.
    printf 'fuzz-run: %s FAILED; the end of %s:\n%s\n' "$t" "$log" "$(tail -n 40 "$log")" >&2
    return 1
  fi
}

failed=()
declare -A running=()  # pid -> target
# Waits for one of the running targets to end.
reap() {
  local pid rc=0
  wait -n -p pid "${!running[@]}" || rc=$?
  [ "$rc" = 0 ] || failed+=("${running[$pid]}")
  unset "running[$pid]"
}
for t in "$@"; do
  while [ ${#running[@]} -ge "$jobs" ]; do reap; done
  run_one "$t" &
  running[$!]="$t"
done
while [ ${#running[@]} -gt 0 ]; do reap; done

if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz-run: targets that failed: ${failed[*]} (inputs in $work/artifacts)" >&2
  exit 1
fi
