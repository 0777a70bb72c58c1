"""The production example runs whole on the simulated DUT with addresses
from the store: every unit gets its serial's address, keeps it through a
retest and a failed write, and a chip of another unit is left alone."""

import os
import re
import subprocess
import sys

import nivoratest

EXAMPLE = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "examples", "production.py")


def run(env, db, serial, *args):
    return subprocess.run([sys.executable, EXAMPLE, "--db", db, "--serial", serial, *args],
                          env=env, capture_output=True, text=True)


def taken(done):
    """The address the run took from the store."""
    found = re.search(r"^PASS take bd address +(\S+)", done.stdout, re.M)
    assert found, done.stdout + done.stderr
    return found.group(1)


def passed(done):
    return done.returncode == 0 and done.stdout.rstrip().endswith("RESULT: PASS")


def test_two_blank_chips_and_a_retest_keep_their_serials_addresses(env_python, store_db, tmp_path):
    chip_a, chip_b = f"sim:nvm={tmp_path / 'a'}", f"sim:nvm={tmp_path / 'b'}"
    first = run(env_python, store_db, "SN-A", "--transport", chip_a)
    second = run(env_python, store_db, "SN-B", "--transport", chip_b)
    retest = run(env_python, store_db, "SN-A", "--transport", chip_a)
    for done in (first, second, retest):
        assert passed(done), done.stdout + done.stderr
    for step in ("new CS image", "load firmware", "tx burst", "aio read back", "uart loopback"):
        assert f"PASS {step}" in first.stdout
    address_a, address_b = taken(first), taken(second)
    assert address_a != address_b
    assert f"PASS write bd address         {address_a}" in first.stdout
    assert "reserved (new)" in first.stdout and "address committed        committed " in first.stdout
    assert taken(retest) == address_a
    assert f"PASS address on device        {address_a}" in retest.stdout
    assert "write CS (eeprom)        CS block" in retest.stdout
    assert "address committed        committed, kept" in retest.stdout

    store = nivoratest.AddressStore(store_db)
    for serial, address in (("SN-A", address_a), ("SN-B", address_b)):
        record = store.show(address=address)
        assert (record.serial, record.state) == (serial, "committed")


def test_a_unit_keeps_its_address_after_a_failed_write_and_another_units_chip_is_left_alone(
        env_python, store_db, tmp_path):
    chip = tmp_path / "c"
    store = nivoratest.AddressStore(store_db)
    failed = run(env_python, store_db, "SN-C", "--transport", f"sim:nvm={chip},e2fail=write")
    assert failed.returncode == 1 and "FAIL write CS (eeprom)" in failed.stdout
    kept = store.show(serial="SN-C")
    assert (kept.address, kept.state) == (taken(failed), "reserved")

    again = run(env_python, store_db, "SN-C", "--transport", f"sim:nvm={chip}")
    assert passed(again), again.stdout + again.stderr
    assert taken(again) == kept.address
    assert store.show(serial="SN-C").state == "committed"

    eeprom = (chip / "eeprom.bin").read_bytes()
    other = run(env_python, store_db, "SN-D", "--transport", f"sim:nvm={chip}")
    assert other.returncode == 1
    assert (f"the device holds {kept.address}, which belongs to serial SN-C, not to serial SN-D; "
            "the device is left as it is") in other.stdout
    assert "take bd address" not in other.stdout
    assert store.show(serial="SN-D") is None
    assert (chip / "eeprom.bin").read_bytes() == eeprom


def test_failing_step_fails_the_run(env_python, store_db):
    done = run(env_python, store_db, "SN-E", "--transport", "sim:uart=short")
    assert done.returncode == 1
    assert "FAIL uart loopback" in done.stdout
    assert "-5  UART loopback test failed (expected data was not received)" in done.stdout
    assert done.stdout.rstrip().endswith("RESULT: FAIL")
