#!/usr/bin/env bash
# The Windows stage of CI: installs the cross compilers and Wine, builds the
# Windows deliverables (scripts/windows-build.sh), checks the shipped 32-bit
# DLL and programs, runs the core test suites, the C clients and the
# station (scripts/windows-station-test.sh) under 64-bit Wine with the
# simulated chip's UART on a COM port, and starts Kilnor.exe on a virtual
# display for a screenshot.
#
# Results: build-win/ (or $NVT_WIN_BUILD_DIR), with the test logs in
# build-win/logs/ and the screenshot in build-win/kilnor-win32.png.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
out="${NVT_WIN_BUILD_DIR:-$top/build-win}"
started=$(date +%s)

# The test programs run under Wine: the frame, sequence and trace tests of
# the exports (test_api); firmware loading, radio, PIO/AIO, the UART
# loopback and the mailbox (test_ptest); the key database, images, targets
# and the CS cache (test_cscache); files, messages and the stopwatch
# (test_support); the simulated chip and stand-ins (test_outside); the Win32
# dialog view (test_kilnor_win32); random calls of every export and
# production sequences through the fault layer, with their files on the
# Win32 file seam (test_torture, test_soak).
suites="test_api test_ptest test_cscache test_support test_outside test_kilnor_win32 test_torture test_soak"

NVT_WITH_WINDOWS=1 "$top/scripts/setup.sh"
NVT_WIN_BUILD_DIR="$out" NVT_WIN_TEST_PROGRAMS="$suites" "$top/scripts/windows-build.sh"

# --- The shipped 32-bit files ------------------------------------------------
i686="$out/i686/bin"
objdump32=i686-w64-mingw32-objdump
check_pe() {
  cmake -DOBJDUMP="$objdump32" -DFORMAT=pei-i386 "$@" -P "$top/tests/exports/check_pe.cmake"
}
check_pe -DFILE="$i686/NivoraTest.dll" -DOUTSIDE="quorlink.dll;e2.dll;flash.dll" -DEXPORTS=ON
check_pe -DFILE="$i686/Kilnor.exe" -DOUTSIDE="plessa.dll;vortane.dll"
check_pe -DFILE="$i686/dllclient_loadlibrary.exe"
check_pe -DFILE="$i686/dllclient_linked.exe" -DOUTSIDE="NivoraTest.dll"
check_pe -DFILE="$i686/station.exe" -DOUTSIDE="NivoraTest.dll"
# A client linked with the import library calls the undecorated names.
imports="$("$objdump32" -p "$i686/dllclient_linked.exe" | sed -n '/DLL Name: NivoraTest.dll/,/^$/p')"
for name in nvtGetVersion nvtOpen nvtGetLastError nvtClose; do
  if ! grep -Eq "[[:space:]]$name\$" <<<"$imports"; then
    echo "windows-test: dllclient_linked.exe does not import $name from NivoraTest.dll" >&2
    exit 1
  fi
done
echo "windows-test: the import library binds the decorated calls to the undecorated exports"

# --- Wine ---------------------------------------------------------------------
export WINEPREFIX="$out/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver
[ -x "$wine" ] || wine="$(command -v wine64)"
[ -x "$wineserver" ] || wineserver="$(command -v wineserver)"
line_pid=""
xvfb_pid=""
cleanup() {
  [ -n "$line_pid" ] && kill "$line_pid" 2>/dev/null || true
  "$wineserver" -k >/dev/null 2>&1 || true
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
}
trap cleanup EXIT
# windows-build.sh has made the prefix.
# A resident server makes each later start take well under a second (its
# own output, such as the object list it prints when stopped, goes to a log).
# (One already running for the prefix is as good.)
"$wineserver" -p >"$out/wineserver.log" 2>&1 || true

# The simulated chip's UART: COM8 is the PC's port, COM9 the chip's end.
# (Wine's device manager rewrites the links of the ports that have a
# /dev/ttyS device, so the line keeps clear of those.)
python3 "$top/scripts/wine-serial-line.py" "$WINEPREFIX" com8 com9 >"$out/serial-line.log" 2>&1 &
line_pid=$!
for _ in $(seq 50); do
  [ -L "$WINEPREFIX/dosdevices/com9" ] && grep -q com9= "$out/serial-line.log" && break
  sleep 0.1
done
export DEVSIM_UART_PORTS=COM8,COM9

# A virtual display for the dialog tests and Kilnor.exe.
display=":${NVT_XVFB_DISPLAY:-97}"
Xvfb "$display" -screen 0 1024x768x24 -nolisten tcp >"$out/xvfb.log" 2>&1 &
xvfb_pid=$!
export DISPLAY="$display"

# --- Core suites ----------------------------------------------------------------
# Skips that are expected under Wine; any other skip fails the stage, so that
# a missing serial line cannot pass unnoticed. Why each is expected:
#   UartTest.PortInUseCannotBeOpenedTwice - Wine opens a COM port that is
#     already open a second time instead of refusing it;
#   DevsimUartTest.WrongLineRateGarblesTheAnswer - the chip's end of the line
#     is a pseudo-terminal that cannot see the rate the PC's port is set to;
#   FileUtilTest.ReadOnlyFileIsNotWriteable - run as root, Wine writes to a
#     read-only file as Linux lets root do (the test skips itself then);
#   SafeWriteTest.ALinkAtTheFileIsNeverWrittenThrough,
#   SafeWriteTest.ADanglingLinkCreatesNothingWhereItPoints,
#   SafeWriteTest.TheTraceFileIsAppendedToButNeverThroughALink - Wine makes
#     no symbolic links (CreateSymbolicLinkW fails), so no link can be
#     planted; the Linux suites plant them;
#   Integrity.ALinkPlantedAtAFileToWriteIsRefusedAndItsTargetKept - the
#     same, links are planted by the POSIX build of the test only;
#   Integrity.AFileThatCannotBeReplacedKeepsItsContents - Wine takes file
#     names longer than the limit the test relies on to make a rename fail.
allowed_skips="Integrity.ALinkPlantedAtAFileToWriteIsRefusedAndItsTargetKept Integrity.AFileThatCannotBeReplacedKeepsItsContents
UartTest.PortInUseCannotBeOpenedTwice DevsimUartTest.WrongLineRateGarblesTheAnswer FileUtilTest.ReadOnlyFileIsNotWriteable
SafeWriteTest.ALinkAtTheFileIsNeverWrittenThrough SafeWriteTest.ADanglingLinkCreatesNothingWhereItPoints
SafeWriteTest.TheTraceFileIsAppendedToButNeverThroughALink"
logs="$out/logs"
mkdir -p "$logs"
total=0
total_passed=0
total_skipped=0
failed=0
cd "$out/x86_64/bin"
for suite in $suites; do
  log="$logs/$suite.log"
  suite_start=$(date +%s)
  if timeout 600 "$wine" "./$suite.exe" >"$log.raw" 2>&1; then rc=0; else rc=$?; fi
  # Windows programs end their lines in CR LF.
  tr -d '\r' <"$log.raw" >"$log" && rm -f "$log.raw"
  ran=$(sed -n 's/^\[==========\] \([0-9]*\) tests\{0,1\} from .* ran\..*/\1/p' "$log" | tail -n 1)
  passed=$(sed -n 's/^\[  PASSED  \] \([0-9]*\) tests\{0,1\}\./\1/p' "$log" | tail -n 1)
  skipped=$(sed -n 's/^\[  SKIPPED \] \([A-Za-z0-9_/]*\.[A-Za-z0-9_/.]*\).*/\1/p' "$log" | sort -u)
  nskipped=$(grep -c . <<<"$skipped" || true)
  echo "windows-test: $suite: ${ran:-0} run, ${passed:-0} passed, $nskipped skipped, rc $rc, $(( $(date +%s) - suite_start )) s"
  total=$(( total + ${ran:-0} ))
  total_passed=$(( total_passed + ${passed:-0} ))
  total_skipped=$(( total_skipped + nskipped ))
  if [ "$rc" != 0 ] || [ -z "$ran" ]; then
    failed=1
    grep -E '^\[  FAILED  \]|Failure' "$log" | head -n 40 || tail -n 40 "$log"
  fi
  for test in $skipped; do
    if ! grep -qw -- "$test" <<<"$allowed_skips"; then
      echo "windows-test: $suite: unexpected skip of $test" >&2
      grep -A2 "$test" "$log" | head -n 5 >&2
      failed=1
    fi
  done
done

# --- The C clients of the 64-bit DLL ------------------------------------------------
for client in dllclient_loadlibrary dllclient_linked; do
  if "$wine" "./$client.exe" sim >"$logs/$client.log" 2>&1; then
    echo "windows-test: $client: $(tr -d '\r' <"$logs/$client.log" | tr '\n' ' ')"
  else
    echo "windows-test: $client failed:" >&2
    cat "$logs/$client.log" >&2
    failed=1
  fi
done

# --- The station on simulated DUTs ----------------------------------------------
station_start=$(date +%s)
if WINE="$wine" "$top/scripts/windows-station-test.sh" "$out" >"$logs/station.log" 2>&1; then
  sed 's/^/windows-test: station: /' "$logs/station.log" | grep -v "windows-station-test: passed"
  echo "windows-test: station: passed in $(( $(date +%s) - station_start )) s"
else
  echo "windows-test: station failed:" >&2
  cat "$logs/station.log" >&2
  failed=1
fi

# --- Kilnor.exe on a virtual display --------------------------------------------
# The prefix has no Chinese fonts of its own: the dialog's families are
# mapped to the Noto CJK fonts of the system.
python3 - "$out/fonts.reg" <<'PY'
import sys
text = ("Windows Registry Editor Version 5.00\r\n\r\n"
        "[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows NT\\CurrentVersion\\FontSubstitutes]\r\n"
        "\"\u5b8b\u4f53\"=\"Noto Sans CJK SC\"\r\n"
        "\"SimSun\"=\"Noto Sans CJK SC\"\r\n"
        "\"Times New Roman\"=\"Noto Serif CJK SC\"\r\n\r\n")
open(sys.argv[1], "wb").write(b"\xff\xfe" + text.encode("utf-16-le"))
PY
"$wine" regedit /S "$(cd "$out" && pwd)/fonts.reg" >/dev/null 2>&1

shot="$out/kilnor-win32.png"
rm -f "$shot"
(cd "$out/x86_64/bin" && DISPLAY="$display" "$wine" ./Kilnor.exe >"$logs/kilnor.log" 2>&1) &
kilnor_pid=$!
# The dialog is up once the screen holds more than its background.
for _ in $(seq 60); do
  sleep 1
  if DISPLAY="$display" import -window root "$shot.tmp.png" 2>/dev/null &&
     [ "$(identify -format '%k' "$shot.tmp.png")" -gt 16 ]; then
    sleep 2  # let the first paint finish
    DISPLAY="$display" import -window root -trim +repage "$shot.tmp.png"
    mv "$shot.tmp.png" "$shot"
    break
  fi
done
kill "$kilnor_pid" 2>/dev/null || true
if [ -f "$shot" ]; then
  echo "windows-test: Kilnor.exe screenshot in $shot"
else
  echo "windows-test: Kilnor.exe showed no window within 60 s" >&2
  cat "$logs/kilnor.log" >&2
  failed=1
fi

echo "windows-test: $total tests ran under Wine, $total_passed passed, $total_skipped skipped;" \
  "Windows stage took $(( $(date +%s) - started )) s"
exit "$failed"
