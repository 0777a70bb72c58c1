#!/usr/bin/env bash
# Checks scripts/fuzz-run.sh with stand-in targets (small shell scripts that
# act as a fuzz target would): a clean target passes; a crash, a sanitizer
# report in a run that ends with status 0, and a missing seed corpus each
# fail the run with the target named and the end of its log shown; and no
# more targets run at a time than NVT_FUZZ_JOBS. Takes about a second.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
dir="$(mktemp -d)"
trap 'rm -rf "$dir"' EXIT
fail() { echo "fuzz-run-test: $*" >&2; exit 1; }

mkdir -p "$dir/bin" "$dir/fuzz/corpus" "$dir/running"
# A stand-in target: notes how many targets run beside it, then prints $2
# and ends with status $3.
target() {
  local name="$1" text="$2" status="$3"
  mkdir -p "$dir/fuzz/corpus/$name"
  cat >"$dir/bin/$name" <<EOF
#!/usr/bin/env bash
touch "$dir/running/$name"
ls "$dir/running" | wc -l >>"$dir/concurrency"
sleep 0.1
rm "$dir/running/$name"
printf '%s\n' "$text"
exit $status
EOF
  chmod +x "$dir/bin/$name"
}
target clean_a "stat::number_of_executed_units: 1234" 0
target clean_b "stat::number_of_executed_units: 99" 0
target clean_c "stat::number_of_executed_units: 5" 0
target crash "==1==ERROR: AddressSanitizer: heap-buffer-overflow" 1
target ubsan "x.cpp:3:5: runtime error: signed integer overflow" 0
target leak "==1==ERROR: LeakSanitizer: detected memory leaks" 1
target noseeds "stat::number_of_executed_units: 1" 0
rmdir "$dir/fuzz/corpus/noseeds"

run() {
  NVT_FUZZ_DIR="$dir/fuzz" NVT_FUZZ_SECONDS=1 NVT_FUZZ_JOBS=2 \
    "$top/scripts/fuzz-run.sh" "$dir/bin" "$dir/work" "$@" >"$dir/out" 2>&1
}

run clean_a clean_b clean_c || fail "clean targets failed: $(cat "$dir/out")"
grep -q "clean_a: 1234 runs, clean" "$dir/out" || fail "no run count for clean_a: $(cat "$dir/out")"
[ "$(sort -n "$dir/concurrency" | tail -n 1)" -le 2 ] || fail "more than 2 targets ran at a time"

: >"$dir/concurrency"
if run clean_a crash clean_b ubsan leak noseeds clean_c; then
  fail "the run passed with failing targets: $(cat "$dir/out")"
fi
for t in crash ubsan leak; do
  grep -q "$t FAILED" "$dir/out" || fail "$t is not reported as failed: $(cat "$dir/out")"
done
grep -q "heap-buffer-overflow" "$dir/out" || fail "the end of the crash's log is not shown"
grep -q "no seed corpus" "$dir/out" || fail "the missing seed corpus is not reported"
grep -q "targets that failed: .*crash.*" "$dir/out" || fail "no summary of the failed targets"
for t in crash ubsan leak noseeds; do
  grep "targets that failed:" "$dir/out" | grep -qw "$t" || fail "$t is missing from the summary: $(cat "$dir/out")"
done
for t in clean_a clean_b clean_c; do
  grep "targets that failed:" "$dir/out" | grep -qw "$t" && fail "$t is in the summary: $(cat "$dir/out")"
done
[ "$(sort -n "$dir/concurrency" | tail -n 1)" -le 2 ] || fail "more than 2 targets ran at a time"
echo "fuzz-run-test: the runner fails on crashes, sanitizer reports and missing seeds, 2 at a time"
