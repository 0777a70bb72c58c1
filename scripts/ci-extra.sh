#!/usr/bin/env bash
# The CI stages after the main tests, on one clang build (build-asan/) with
# AddressSanitizer and UndefinedBehaviorSanitizer in all code and libFuzzer's
# coverage instrumentation, so that the library is compiled once for both:
#   1. asan: the whole suite (CTest and the Python tests) on that build;
#   2. fuzz: every fuzz target of that build, each run for NVT_FUZZ_SECONDS
#      (default 60) from its seed corpus fuzz/corpus/<target>/, as many at a
#      time as NVT_FUZZ_JOBS says (default: the number of cores), by
#      scripts/fuzz-run.sh; failing inputs land in build-asan/artifacts/.
# Any test failure, crash, leak or sanitizer report fails the script. Stage
# times are printed at the end. NVT_CI_STAGES=asan or =fuzz runs one stage.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
jobs="${NVT_JOBS:-$(nproc)}"
stages="${NVT_CI_STAGES:-asan fuzz}"
fuzz_seconds="${NVT_FUZZ_SECONDS:-60}"
fuzz_jobs="${NVT_FUZZ_JOBS:-$jobs}"

NVT_WITH_FUZZ=1 "$top/scripts/setup.sh"
. "$top/scripts/ccache-env.sh"

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

# The one sanitizer build: the tests of the asan stage and the fuzz targets.
san="${NVT_ASAN_BUILD_DIR:-$top/build-asan}"
fuzz_targets=()
for src in "$top"/fuzz/*_fuzz.cpp; do fuzz_targets+=("$(basename "$src" .cpp)"); done
build_targets=()
if [[ " $stages " == *" asan "* ]]; then
  build_targets=(all)
elif [[ " $stages " == *" fuzz "* ]]; then
  build_targets=("${fuzz_targets[@]}")
fi
if [ ${#build_targets[@]} -gt 0 ]; then
  begin "sanitizer and fuzz build ($san)"
  CC=clang CXX=clang++ cmake -S "$top" -B "$san" -G Ninja -DNVT_SANITIZE=ON -DNVT_BUILD_FUZZ=ON \
    -DNVT_BUILD_BENCH=OFF ${NVT_CMAKE_ARGS:-} >/dev/null
  cmake --build "$san" -j "$jobs" --target "${build_targets[@]}"
  end "sanitizer-build"
fi

if [[ " $stages " == *" asan "* ]]; then
  begin "sanitizer tests"
  # Every test but the 32-bit Windows compile check: it runs the MinGW
  # compiler over the sources, the same whatever this build is, and the
  # main tests ran it.
  (cd "$san" && ctest --output-on-failure -j "$jobs" -E '^windows\.library_sources_compile_for_win32$')
  # The Python binding's tests on the sanitizer build: the interpreter needs
  # the runtime preloaded (the build's programs share it), and keeps its own
  # memory to the end (no leak reports from it).
  python="${NVT_PYTHON:-/usr/bin/python3}"
  [ -x "$python" ] || python=python3
  LD_PRELOAD="$(clang -print-file-name="libclang_rt.asan-$(uname -m).so")" \
  ASAN_OPTIONS="detect_leaks=0:abort_on_error=1" NIVORATEST_LIBRARY="$san/bin" \
    "$python" -m pytest -p no:cacheprovider -q "$top/python/tests"
  end "sanitizer-tests"
fi

if [[ " $stages " == *" fuzz "* ]]; then
  # The runner's own check first: that it fails on what it must fail on.
  "$top/scripts/fuzz-run-test.sh"
  begin "fuzz runs (${fuzz_seconds}s per target, $fuzz_jobs at a time)"
  NVT_FUZZ_SECONDS="$fuzz_seconds" NVT_FUZZ_JOBS="$fuzz_jobs" \
    "$top/scripts/fuzz-run.sh" "$san/bin" "$san" "${fuzz_targets[@]}" || {
    end "fuzz-runs"
    printf 'ci-extra: %s\n' "${times[@]}"
    exit 1
  }
  end "fuzz-runs"
fi

printf 'ci-extra: %s\n' "${times[@]}"
