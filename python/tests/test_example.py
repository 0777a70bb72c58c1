"""The production example runs whole on the simulated DUT, and reports a
failing step with the library's text."""

import os
import subprocess
import sys

EXAMPLE = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "examples", "production.py")


def run(env, *args):
    return subprocess.run([sys.executable, EXAMPLE, *args], env=env, capture_output=True, text=True)


def test_production_sequence_passes_and_counts_the_address_on(env_python, tmp_path):
    transport = f"sim:nvm={tmp_path / 'nvm'}"
    first = run(env_python, "--transport", transport)
    assert first.returncode == 0, first.stdout + first.stderr
    assert first.stdout.rstrip().endswith("RESULT: PASS")
    for step in ("new CS image", "load firmware", "tx burst", "aio read back", "uart loopback"):
        assert f"PASS {step}" in first.stdout
    assert "write bd address         005b:02:005b01" in first.stdout
    second = run(env_python, "--transport", transport)
    assert second.returncode == 0, second.stdout + second.stderr
    assert "write bd address         005b:02:005b02" in second.stdout
    assert "write CS (eeprom)        CS block" in second.stdout


def test_failing_step_fails_the_run(env_python):
    done = run(env_python, "--transport", "sim:uart=short")
    assert done.returncode == 1
    assert "FAIL uart loopback" in done.stdout
    assert "-5  UART loopback test failed (expected data was not received)" in done.stdout
    assert done.stdout.rstrip().endswith("RESULT: FAIL")
