#!/usr/bin/env bash
# The CI stages after the main tests:
#   1. the whole suite (CTest and the Python tests) built with AddressSanitizer
#      and UndefinedBehaviorSanitizer (build-asan/);
#   2. a clang build of every fuzz target (build-fuzz/), each run for
#      NVT_FUZZ_SECONDS (default 60) from its seed corpus fuzz/corpus/<target>/.
# Any test failure, crash, leak or sanitizer report fails the script. Stage
# times are printed at the end. NVT_CI_STAGES=asan or =fuzz runs one stage.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
jobs="${NVT_JOBS:-$(nproc)}"
stages="${NVT_CI_STAGES:-asan fuzz}"
fuzz_seconds="${NVT_FUZZ_SECONDS:-60}"

NVT_WITH_FUZZ=1 "$top/scripts/setup.sh"

times=()
stage_start=0
begin() { stage_start=$(date +%s); echo "== ci-extra: $1"; }
end() { times+=("$1 $(( $(date +%s) - stage_start ))s"); }

# Sanitizer reports end the program with an error; leaks are reported at exit.
# scripts/asan.supp lists reports caused inside outside system libraries.
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:strict_string_checks=1:suppressions=$top/scripts/asan.supp}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}"
if [ -f "$top/scripts/lsan.supp" ]; then
  export LSAN_OPTIONS="${LSAN_OPTIONS:-suppressions=$top/scripts/lsan.supp:print_suppressions=0}"
fi

if [[ " $stages " == *" asan "* ]]; then
  san="${NVT_ASAN_BUILD_DIR:-$top/build-asan}"
  begin "sanitizer build ($san)"
  cmake -S "$top" -B "$san" -G Ninja -DNVT_SANITIZE=ON -DNVT_BUILD_BENCH=OFF ${NVT_CMAKE_ARGS:-} >/dev/null
  cmake --build "$san" -j "$jobs"
  end "asan-build"
  begin "sanitizer tests"
  (cd "$san" && ctest --output-on-failure -j "$jobs")
  # The Python binding's tests on the sanitizer build: the interpreter needs
  # the runtimes preloaded, and keeps its own memory to the end (no leak
  # reports from it).
  python="${NVT_PYTHON:-/usr/bin/python3}"
  [ -x "$python" ] || python=python3
  LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libubsan.so)" \
  ASAN_OPTIONS="detect_leaks=0:abort_on_error=1" NIVORATEST_LIBRARY="$san/bin" \
    "$python" -m pytest -p no:cacheprovider -q "$top/python/tests"
  end "asan-tests"
fi

if [[ " $stages " == *" fuzz "* ]]; then
  fz="${NVT_FUZZ_BUILD_DIR:-$top/build-fuzz}"
  begin "fuzz build ($fz)"
  CC=clang CXX=clang++ cmake -S "$top" -B "$fz" -G Ninja -DNVT_BUILD_FUZZ=ON -DNVT_BUILD_TESTS=OFF \
    -DNVT_BUILD_BENCH=OFF ${NVT_CMAKE_ARGS:-} >/dev/null
  targets=()
  for src in "$top"/fuzz/*_fuzz.cpp; do targets+=("$(basename "$src" .cpp)"); done
  cmake --build "$fz" -j "$jobs" --target "${targets[@]}"
  end "fuzz-build"

  begin "fuzz runs (${fuzz_seconds}s per target)"
  failed=()
  for t in "${targets[@]}"; do
    seeds="$top/fuzz/corpus/$t"
    work="$fz/corpus/$t"
    mkdir -p "$work" "$fz/artifacts"
    if [ ! -d "$seeds" ]; then
      echo "ci-extra: no seed corpus fuzz/corpus/$t" >&2
      failed+=("$t")
      continue
    fi
    log="$fz/$t.log"
    # A target's dictionary of words, when it has one (fuzz/<target>.dict).
    dict=()
    [ -f "$top/fuzz/$t.dict" ] && dict=(-dict="$top/fuzz/$t.dict")
    # New inputs go to the build folder; the checked-in seeds are only read.
    if "$fz/bin/$t" -max_total_time="$fuzz_seconds" -timeout=20 -rss_limit_mb=2048 -print_final_stats=1 "${dict[@]}" \
         -artifact_prefix="$fz/artifacts/$t-" "$work" "$seeds" >"$log" 2>&1 &&
       ! grep -q -e "runtime error:" -e "ERROR: AddressSanitizer" -e "ERROR: LeakSanitizer" "$log"; then
      echo "ci-extra: $t: $(grep -m1 -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$') runs, clean"
    else
      echo "ci-extra: $t FAILED; the end of $log:" >&2
      tail -n 40 "$log" >&2
      failed+=("$t")
    fi
  done
  end "fuzz-runs"
  if [ ${#failed[@]} -gt 0 ]; then
    echo "ci-extra: fuzz targets that failed: ${failed[*]} (inputs in $fz/artifacts)" >&2
    printf 'ci-extra: %s\n' "${times[@]}"
    exit 1
  fi
fi

printf 'ci-extra: %s\n' "${times[@]}"
