"""The pytest plugin as a test engineer uses it: the dut fixture from the
command-line options, measurements with limits in the JUnit XML, and the two
ways the plugin is registered."""

import os
import shutil
import subprocess
import sys
import xml.etree.ElementTree as ET

import pytest

PLUGIN = ("-p", "nivoratest.pytest_plugin")

DUT_TESTS = """
import nivoratest

def test_firmware_runs(dut):
    dut.carrier_start(19, 2440)
    dut.radio_stop()

def test_is_open(dut):
    assert not dut.closed and dut.chip_id() == 0x4B2D
"""

MEASURE_TESTS = """
def test_inside(measure):
    assert measure("rx", 14, low=5, high=20, unit="packets") == 14
    measure("label", "ok")

def test_outside(measure):
    measure("aio", 600, low=508, high=516, unit="mV")
    measure("never", 1)

def test_nan_fails(measure):
    measure("nan", float("nan"), high=1)
"""


def properties(xml_path, test_name):
    root = ET.parse(xml_path).getroot()
    case = next(c for c in root.iter("testcase") if c.get("name") == test_name)
    return [(p.get("name"), p.get("value")) for p in case.iter("property")]


def test_dut_has_the_firmware_of_the_option(pytester, files):
    pytester.makepyfile(DUT_TESTS)
    result = pytester.runpytest(*PLUGIN, "--nvt-firmware", files.firmware, "--nvt-keydb", files.keydb)
    result.assert_outcomes(passed=2)


def test_dut_without_firmware_and_a_bad_transport(pytester):
    pytester.makepyfile(DUT_TESTS)
    result = pytester.runpytest(*PLUGIN, "-k", "is_open")
    result.assert_outcomes(passed=1, deselected=1)
    result = pytester.runpytest(*PLUGIN, "--nvt-transport", "nowhere", "-k", "is_open")
    result.assert_outcomes(errors=1, deselected=1)
    result.stdout.fnmatch_lines(["*NvtDeviceError*Failed to connect to device*"])


def test_measurements_fail_outside_limits_and_reach_the_junit_xml(pytester):
    pytester.makepyfile(MEASURE_TESTS)
    xml_path = pytester.path / "junit.xml"
    result = pytester.runpytest(*PLUGIN, f"--junitxml={xml_path}", "-W", "error::pytest.PytestWarning")
    result.assert_outcomes(passed=1, failed=2)
    result.stdout.fnmatch_lines(["*aio = 600 mV is outside [[]508, 516[]]*"])
    assert properties(xml_path, "test_inside") == [
        ("rx", "14"), ("rx.low", "5"), ("rx.high", "20"), ("rx.unit", "packets"), ("rx.result", "pass"),
        ("label", "ok"), ("label.result", "pass")]
    # The failing value is recorded, and the test stops at it.
    assert properties(xml_path, "test_outside") == [
        ("aio", "600"), ("aio.low", "508"), ("aio.high", "516"), ("aio.unit", "mV"), ("aio.result", "fail")]
    assert ("nan.result", "fail") in properties(xml_path, "test_nan_fails")


def child_env(extra_path):
    env = dict(os.environ)
    env["PYTHONPATH"] = extra_path
    env.pop("PYTEST_ADDOPTS", None)
    env.pop("PYTEST_PLUGINS", None)
    return env


def run_pytest(folder, env, *args):
    return subprocess.run([sys.executable, "-m", "pytest", "-p", "no:cacheprovider", *args, str(folder)],
                          cwd=folder, env=env, capture_output=True, text=True)


def test_option_p_from_the_checkout(tmp_path, env_python, files):
    (tmp_path / "test_dut.py").write_text(DUT_TESTS)
    done = run_pytest(tmp_path, env_python, *PLUGIN, "--nvt-firmware", files.firmware)
    assert done.returncode == 0, done.stdout + done.stderr
    assert "nivoratest: library 1.3.0.68" in done.stdout


def test_installed_package_registers_through_its_entry_point(tmp_path, env_python, files):
    pytest.importorskip("pip")
    source = tmp_path / "source"
    shutil.copytree(os.path.join(os.path.dirname(__file__), os.pardir), source,
                    ignore=shutil.ignore_patterns("tests", "examples", "__pycache__", "build", "*.egg-info"))
    target = tmp_path / "site"
    install = subprocess.run(
        [sys.executable, "-m", "pip", "install", "--no-build-isolation", "--no-deps", "--no-index",
         "--quiet", "--disable-pip-version-check", "--target", str(target), str(source)],
        capture_output=True, text=True)
    assert install.returncode == 0, install.stdout + install.stderr
    tests = tmp_path / "tests"
    tests.mkdir()
    (tests / "test_dut.py").write_text(DUT_TESTS)
    env = child_env(str(target))
    env["NIVORATEST_LIBRARY"] = env_python["NIVORATEST_LIBRARY"]
    for extra in ((), PLUGIN):  # the entry point alone, and together with -p
        done = run_pytest(tests, env, *extra, "--nvt-firmware", files.firmware)
        assert done.returncode == 0, done.stdout + done.stderr
        assert str(target) in subprocess.run(
            [sys.executable, "-c", "import nivoratest; print(nivoratest.__file__)"],
            env=env, capture_output=True, text=True).stdout
