#!/usr/bin/env bash
# Does all set-up, builds, and runs every test.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
"$top/scripts/setup.sh"
"$top/scripts/build.sh"
build="${NVT_BUILD_DIR:-$top/build}"
cd "$build"
ctest --output-on-failure -j "${NVT_JOBS:-$(nproc)}"

# The Python binding's tests, with Debian's interpreter (the one python3-pytest
# is installed for). pytest exits with 5 when it collected no tests; that is
# a failure here like any other non-zero status.
python="${NVT_PYTHON:-/usr/bin/python3}"
[ -x "$python" ] || python=python3
NIVORATEST_LIBRARY="$build/bin" "$python" -m pytest -p no:cacheprovider \
  --junitxml="$build/python-tests.xml" "$top/python/tests" || {
  rc=$?
  [ "$rc" = 5 ] && echo "test: pytest collected no Python tests" >&2
  exit "$rc"
}
