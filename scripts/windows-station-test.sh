#!/usr/bin/env bash
# The station program under 64-bit Wine, end to end on simulated DUTs:
#   1. a range is added to a new SQLite store;
#   2. a run of the shipped plan on two DUTs at once passes both (two worker
#      processes, each with a serial line of its own for the UART step) and
#      commits two addresses;
#   3. a second run retests the same devices and keeps their addresses;
#   4. a worker killed while it writes the CS leaves its slot ERROR and its
#      address scrapped, never to be given out again;
#   5. Ctrl-C to the station (Wine turns SIGINT into the console's Ctrl-C
#      event) stops its worker through the request pipe: ABORT, status 3;
#   6. `station serve` with its web view: /api/status read over HTTP, a
#      serial through its JSON lines passes, a stop ends it with status 0;
#   7. two DUTs pass against a PostgreSQL server of its own on loopback, the
#      store that several stations share (on leases, as a line runs it);
#   8. the RF plan (plans/sim.toml) on two DUTs cabled to the simulated RF
#      tester (the Linux program of the build, on loopback): both PASS with
#      their calibrated trims and measured values.
# Called by windows-test.sh with the Wine server running: WINE and
# WINEPREFIX set, the build folder as $1. Prints one line per check.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
out="$1"
: "${WINE:?WINE names the wine64 program}" "${WINEPREFIX:?WINEPREFIX names the Wine prefix}"
bin="$(cd "$out/x86_64/bin" && pwd)"
run="$out/station-run"
rm -rf "$run"
mkdir -p "$run"
pids=""
pg_stop=""
cleanup() {
  for p in $pids; do kill "$p" 2>/dev/null || true; done
  if [ -n "$pg_stop" ]; then $pg_stop >/dev/null 2>&1 || true; fi
}
trap cleanup EXIT
fail() {
  echo "windows-station-test: $*" >&2
  exit 1
}

# Slot N's UART: the PC's port COM1N, the chip's end COM2N, named in the
# DUT's transport; the plan is the shipped one with the PC's port of each
# slot a COM port.
for slot in 1 2; do
  python3 "$top/scripts/wine-serial-line.py" "$WINEPREFIX" "com1$slot" "com2$slot" >"$run/line-$slot.log" 2>&1 &
  pids="$pids $!"
done
for slot in 1 2; do
  for _ in $(seq 50); do
    grep -q "com2$slot=" "$run/line-$slot.log" 2>/dev/null && break
    sleep 0.1
  done
  grep -q "com2$slot=" "$run/line-$slot.log" || fail "serial line $slot did not start: $(cat "$run/line-$slot.log")"
done
sed 's|^port = .*|port = "COM1{slot}"|' "$top/plans/bench.toml" >"$run/bench.toml"
grep -q '^port = "COM1{slot}"' "$run/bench.toml" || fail "the shipped plan has no uart port line to replace"
cd "$run"

# Runs station.exe; its output, without the CRs, in $1.
station() {
  local log="$1"; shift
  local rc=0
  "$WINE" "$bin/station.exe" "$@" >"$log.raw" 2>&1 || rc=$?
  tr -d '\r' <"$log.raw" >"$log" && rm -f "$log.raw"
  return "$rc"
}
# A DUT with its NVM in folder $1, in slot $2 (options $3 on top).
dut() { echo "sim:nvm=$1,uartline=COM1$2+COM2$2${3:-}"; }
# Checks the records of a run (records.jsonl lines from $2 on) with Python.
check() {
  python3 - "$@" <<'PY'
import json, sqlite3, sys
what, first = sys.argv[1], int(sys.argv[2])
records = [json.loads(l) for l in open("results/records.jsonl", encoding="utf-8")][first:]
db = sqlite3.connect("station.db")
states = dict(db.execute("SELECT text, state FROM addresses"))
def need(ok, text):
    if not ok:
        sys.exit(f"{what}: {text}\n" + "\n".join(json.dumps(r)[:400] for r in records))
if what in ("first", "retest"):
    need(len(records) == 2, f"{len(records)} records, not 2")
    need([r["slot"] for r in records] == [1, 2], "slots out of order")
    need(all(r["outcome"] == "PASS" for r in records), "a DUT did not pass")
    addresses = [r["address"] for r in records]
    need(len(set(addresses)) == 2 and all(addresses), f"addresses {addresses}")
    need(all(states.get(a) == "committed" for a in addresses), f"states {states}")
    uart = [s for r in records for s in r["steps"] if s["name"] == "uart"]
    need(len(uart) == 2 and all(s["outcome"] == "PASS" for s in uart), "the uart steps did not pass")
    source = "new" if what == "first" else "retest"
    need(all(r["address_source"] == source for r in records), f"address source is not {source}")
    if what == "retest":
        old = [json.loads(l) for l in open("results/records.jsonl", encoding="utf-8")][:2]
        need(addresses == [r["address"] for r in old], "the retest changed an address")
    print(f"{what} run: slots 1 and 2 PASS with {addresses[0]} and {addresses[1]}, committed")
elif what == "killed":
    need(len(records) == 1, f"{len(records)} records, not 1")
    r = records[0]
    need(r["outcome"] == "ERROR" and r["text"].startswith("the worker "), "no ERROR record of the worker")
    need(r["address"] and states.get(r["address"]) == "scrapped", f"address {r['address']} is {states.get(r['address'])}")
    print(f"killed worker: slot 1 ERROR ({r['text']}), {r['address']} scrapped")
PY
}

station add.log addresses add --db station.db --nap 0x005B --uap 0x02 --first 1 --last 0xFFFF ||
  fail "addresses add failed: $(cat add.log)"

start=$(date +%s)
station run1.log --plan bench.toml --db station.db --results results --dut "$(dut dut1 1)" --dut "$(dut dut2 2)" \
  --serial W-0001 --serial W-0002 ||
  fail "the first run failed: $(cat run1.log)"
check first 0 || fail "the first run's records are wrong"
echo "first run took $(( $(date +%s) - start )) s"

station run2.log --plan bench.toml --db station.db --results results --dut "$(dut dut1 1)" --dut "$(dut dut2 2)" \
  --serial W-0001 --serial W-0002 ||
  fail "the retest failed: $(cat run2.log)"
grep -q "(retest, kept)" run2.log || fail "the retest kept no address: $(cat run2.log)"
check retest 2 || fail "the retest's records are wrong"

# Starts the station in the background on one fresh DUT with slow
# transport calls (50 ms each): log $1, results folder $2, NVM folder $3;
# returns once the output matches the pattern $4, with the station's
# process in $station_pid.
start_slow() {
  local log="$1" results="$2" nvm="$3" pattern="$4"
  : >"$log"
  "$WINE" "$bin/station.exe" --plan bench.toml --db station.db --results "$results" \
    --dut "$(dut "$nvm" 1 ,latency=50000)" --no-serial >"$log" 2>&1 &
  station_pid=$!
  for _ in $(seq 600); do
    tr -d '\r' <"$log" | grep -Eq "$pattern" && return 0
    sleep 0.1
  done
  kill "$station_pid" 2>/dev/null || true
  fail "the slow DUT never showed \"$pattern\": $(cat "$log")"
}

# The worker (a process of its own under Wine) is killed in its CS write.
start_slow run3.log results dut3 'slot 1: cs_write +005B:02:'
worker=$(pgrep -f -- '--station-worker' | head -n 1 || true)
[ -n "$worker" ] || fail "no worker process to kill"
kill -KILL "$worker"
rc=0
wait "$station_pid" || rc=$?
tr -d '\r' <run3.log >run3.txt
[ "$rc" = 2 ] || fail "the run with a killed worker ended with $rc, not 2: $(cat run3.txt)"
# Its record is the fifth of the file.
check killed 4 || fail "the killed worker's records are wrong"

# Ctrl-C reaches only the station here; its worker learns of it from the
# station.
start_slow run4.log stopped dut6 'slot 1: xtal_trim'
kill -INT "$station_pid"
rc=0
wait "$station_pid" || rc=$?
tr -d '\r' <run4.log >run4.txt
[ "$rc" = 3 ] || fail "the stopped run ended with $rc, not 3: $(cat run4.txt)"
python3 - <<'PY' || fail "the stopped run's record is wrong: $(cat stopped/records.jsonl)"
import json
records = [json.loads(l) for l in open("stopped/records.jsonl", encoding="utf-8")]
assert len(records) == 1 and records[0]["outcome"] == "ABORT", records
assert records[0]["steps"][-1]["outcome"] == "ABORT", records[0]["steps"][-1]
print(f"Ctrl-C: slot 1 ABORT in step {records[0]['steps'][-1]['name']} ({records[0]['text']}), status 3")
PY

# station serve: the web view's status endpoint, one unit through the JSON
# lines on its stdin, and a stop.
printf '[[slot]]\ntransport = "%s"\n' "$(dut dut7 1)" >serve-fixture.toml
python3 - "$WINE" "$bin/station.exe" <<'PY' || fail "station serve under Wine failed: $(cat serve-errors.log 2>/dev/null)"
import json, subprocess, sys, urllib.request
wine, program = sys.argv[1], sys.argv[2]
with open("serve-errors.log", "w") as errors:
    station = subprocess.Popen([wine, program, "serve", "--fixture", "serve-fixture.toml", "--plan", "bench.toml",
                                "--db", "station.db", "--results", "serve-results", "--station", "wine-serve",
                                "--web", "127.0.0.1:0"],
                               stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=errors, text=True)
    def line():
        text = station.stdout.readline()
        if not text:
            sys.exit("station serve ended early (status %s)" % station.wait())
        return json.loads(text)
    try:
        ready = line()
        assert ready.get("event") == "ready" and ready.get("web"), ready
        with urllib.request.urlopen(ready["web"] + "api/status", timeout=30) as answer:
            status = json.load(answer)
        assert status["station"] == "wine-serve" and len(status["slots"]) == 1, status
        station.stdin.write(json.dumps({"slot": 1, "serial": "W-0007"}) + "\n")
        station.stdin.flush()
        answer = line()
        assert answer.get("accepted") is True, answer
        done = line()
        assert done.get("event") == "done" and done["outcome"] == "PASS", done
        station.stdin.write(json.dumps({"command": "stop"}) + "\n")
        station.stdin.flush()
        rc = station.wait(timeout=60)
        assert rc == 0, "status %d" % rc
    finally:
        if station.poll() is None:
            station.kill()
print("station serve: /api/status read, W-0007 PASS through the JSON lines, stopped with status 0")
PY

# A private PostgreSQL server on a free loopback port (as the user nobody
# when run as root: the server refuses root), trusting local connections.
pgbin="$(find /usr/lib/postgresql -maxdepth 2 -name bin -type d 2>/dev/null | sort -V | tail -n 1)"
[ -n "$pgbin" ] && [ -x "$pgbin/initdb" ] || fail "no PostgreSQL server installed"
pgdir="$(mktemp -d /tmp/nvt-wine-pg.XXXXXX)"
chmod 755 "$pgdir"
as=""
if [ "$(id -u)" = 0 ]; then
  chown nobody "$pgdir"
  as="runuser -u nobody --"
fi
$as "$pgbin/initdb" --no-sync -A trust -U station -E UTF8 -D "$pgdir/data" >pg-initdb.log 2>&1 ||
  fail "initdb failed: $(cat pg-initdb.log)"
port="$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')"
$as "$pgbin/pg_ctl" -D "$pgdir/data" -l "$pgdir/log" -w -o "-c listen_addresses=127.0.0.1 -k $pgdir -p $port -c fsync=off" \
  start >pg-start.log 2>&1 || fail "the PostgreSQL server did not start: $(cat pg-start.log "$pgdir/log")"
pg_stop="$as $pgbin/pg_ctl -D $pgdir/data -m immediate stop"
url="postgresql://station@127.0.0.1:$port/postgres"
station pg-add.log addresses add --db "$url" --nap 0x005B --uap 0x02 --first 0x100 --last 0x1FF ||
  fail "addresses add on PostgreSQL failed: $(cat pg-add.log)"
station pg-run.log --plan bench.toml --db "$url" --results pg-results --dut "$(dut dut4 1)" --dut "$(dut dut5 2)" \
  --serial W-0004 --serial W-0005 ||
  fail "the run on PostgreSQL failed: $(cat pg-run.log)"
# The station leases a block of addresses; the two it used are committed.
states="$(psql -h 127.0.0.1 -p "$port" -U station -d postgres -Atc \
  "SELECT text || ' ' || state FROM addresses WHERE state <> 'leased' ORDER BY text")"
[ "$states" = "$(printf '005B:02:000100 committed\n005B:02:000101 committed')" ] ||
  fail "the PostgreSQL store holds: $states"
[ "$(grep -c '"outcome":"PASS"' pg-results/records.jsonl)" = 2 ] || fail "the run on PostgreSQL did not pass: $(cat pg-run.log)"
echo "PostgreSQL store: slots 1 and 2 PASS with 005B:02:000100 and 005B:02:000101, committed"

# The RF plan against the simulated tester of the Linux build, which Wine's
# sockets reach on loopback. The bench is the shipped one with each slot's
# UART a COM port pair.
linux_bin="${NVT_BUILD_DIR:-$top/build}/bin"
[ -x "$linux_bin/rftester" ] || fail "no rftester in $linux_bin (the Linux build comes first)"
"$linux_bin/rftester" --listen 127.0.0.1:0 --ports 2 --ready-file "$run/tester.addr" >rftester.log 2>&1 &
pids="$pids $!"
for _ in $(seq 100); do
  [ -s "$run/tester.addr" ] && break
  sleep 0.05
done
[ -s "$run/tester.addr" ] || fail "the RF tester did not start: $(cat rftester.log)"
tester="$(cat "$run/tester.addr")"
sed -e 's|uartlink={bin}/../dut{slot}.uart|uartline=COM1{slot}+COM2{slot}|' -e 's|^uart = .*|uart = "COM1{slot}"|' \
  -e 's|{bin}/../dut{slot}|rfdut{slot}|' "$top/plans/sim-fixture.toml" >rf-fixture.toml
grep -q 'uartline=COM1{slot}+COM2{slot}' rf-fixture.toml || fail "the shipped fixture has no uartlink to replace"
station rf-add.log addresses add --db rf.db --nap 0x005B --uap 0x02 --first 1 --last 0xFFFF ||
  fail "addresses add failed: $(cat rf-add.log)"
station rf-run.log --plan "$top/plans/sim.toml" --fixture rf-fixture.toml --tester "$tester" --db rf.db \
  --results rf-results --serial W-0007 --serial W-0008 ||
  fail "the RF run failed: $(cat rf-run.log)"
python3 - <<'PY' || fail "the RF run's records are wrong: $(cat rf-run.log)"
import json
records = [json.loads(l) for l in open("rf-results/records.jsonl", encoding="utf-8")]
assert len(records) == 2 and all(r["outcome"] == "PASS" for r in records), [r["outcome"] for r in records]
for r in records:
    cal = [s for s in r["steps"] if s["name"] == "xtal_cal"]
    assert cal and cal[0]["outcome"] == "PASS", r["steps"]
    values = [m for s in r["steps"] for m in s.get("measurements", [])]
    assert len(values) >= 4 and all(isinstance(m["value"], (int, float)) for m in values), values
    print(f"RF run: slot {r['slot']} PASS, {len(values)} measurements")
PY
echo "windows-station-test: passed"
