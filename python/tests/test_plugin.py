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
import pytest

def test_inside(measure):
    assert measure("rx", 14, low=5, high=20, unit="packets") == 14
    measure("label", "ok")

def test_outside(measure):
    measure("aio", 600, low=508, high=516, unit="mV")
    measure("text", "abc", low=1)
    measure("after", 1)

def test_nan_fails(measure):
    measure("nan", float("nan"), high=1)

@pytest.mark.nvt_measurement("rssi", low=-70, high=-20, unit="dBm", marginal=(-60, None))
@pytest.mark.nvt_measurement("current", high=12, unit="mA")
def test_declared(measure):
    measure("rssi", -65)

@pytest.mark.nvt_measurement("rssi", low=-70)
def test_declared_limits_twice(measure):
    measure("rssi", -50, low=-90)

@pytest.mark.nvt_measurement("never")
def test_without_the_fixture():
    pass
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


def test_measurements_are_all_recorded_and_judged_at_the_end(pytester):
    pytester.makepyfile(MEASURE_TESTS)
    xml_path = pytester.path / "junit.xml"
    result = pytester.runpytest(*PLUGIN, f"--junitxml={xml_path}", "-W", "error::pytest.PytestWarning")
    result.assert_outcomes(passed=1, failed=5)
    result.stdout.fnmatch_lines(["*aio = 600 mV is outside [[]508, 516[]]*",
                                 "*text = 'abc': cannot compare 'abc' with its limits*"])
    assert properties(xml_path, "test_inside") == [
        ("rx", "14"), ("rx.low", "5"), ("rx.high", "20"), ("rx.unit", "packets"), ("rx.result", "pass"),
        ("label", "ok"), ("label.result", "pass")]
    # A failing value does not stop the test: every later one is recorded.
    assert properties(xml_path, "test_outside") == [
        ("aio", "600"), ("aio.low", "508"), ("aio.high", "516"), ("aio.unit", "mV"), ("aio.result", "fail"),
        ("text", "abc"), ("text.low", "1"), ("text.result", "fail"),
        ("text.error", "cannot compare 'abc' with its limits"), ("after", "1"), ("after.result", "pass")]
    assert ("nan.result", "fail") in properties(xml_path, "test_nan_fails")
    assert properties(xml_path, "test_declared") == [
        ("rssi", "-65"), ("rssi.low", "-70"), ("rssi.high", "-20"), ("rssi.unit", "dBm"),
        ("rssi.marginal_low", "-60"), ("rssi.result", "marginal"), ("current.result", "not taken")]
    result.stdout.fnmatch_lines(["*current was never taken*"])
    assert ("rssi.error", "its limits are declared by its nvt_measurement marker; give none here") in \
        properties(xml_path, "test_declared_limits_twice")
    assert properties(xml_path, "test_without_the_fixture") == [("never.result", "not taken")]


def test_malformed_declaration_is_one_error_at_start(pytester):
    pytester.makepyfile("""
import pytest

@pytest.mark.nvt_measurement("a", lower=1)
def test_one(): pass

@pytest.mark.nvt_measurement("b")
@pytest.mark.nvt_measurement("b")
def test_two(): pass
""")
    result = pytester.runpytest(*PLUGIN)
    assert result.ret == pytest.ExitCode.USAGE_ERROR
    result.stderr.fnmatch_lines(["*test_one: nvt_measurement does not know lower*",
                                 "*test_two: the measurement 'b' is declared twice*"])


class TestSettings:
    PRINT = """
def test_show(duts):
    print("DUTS", [(d.name, d.transport, d.serial, d.uart) for d in duts])
"""

    def shown(self, result):
        line = next(line for line in result.outlines if "DUTS " in line)
        return eval(line.split("DUTS ", 1)[1])

    def test_command_line_over_environment_over_ini_file(self, pytester, monkeypatch):
        pytester.makepyfile(self.PRINT)
        pytester.makeini("[pytest]\nnvt_count = 2\nnvt_serial = A1|A2\nnvt_transport = sim:id2=0x1111\n")
        monkeypatch.setenv("NIVORATEST_SERIAL", "E1|E2")
        result = pytester.runpytest(*PLUGIN, "-s", "--nvt-uart", "/dev/u0|/dev/u1")
        result.assert_outcomes(passed=1)
        assert self.shown(result) == [("dut0", "sim:id2=0x1111", "E1", "/dev/u0"),
                                      ("dut1", "sim:id2=0x1111", "E2", "/dev/u1")]

    def test_every_problem_reported_once_before_any_test(self, pytester, tmp_path):
        pytester.makepyfile(self.PRINT + "\ndef test_more(dut): pass\n")
        result = pytester.runpytest(
            *PLUGIN, "--nvt-count", "3", "--nvt-serial", "A|B", "--nvt-firmware", str(tmp_path / "none.xbv"),
            "--nvt-uart", "/dev/same", "--nvt-transport", f"sim:nvm={tmp_path}", "--nvt-scope", "forever")
        assert result.ret == pytest.ExitCode.USAGE_ERROR
        errors = result.stderr.str()
        assert errors.count("ERROR: nivoratest:") == 1
        for text in ("2 values of serial (A|B) for 3 DUTs", f"dut0: the firmware {tmp_path}/none.xbv does not exist",
                     f"dut0 and dut1 have the same transport sim:nvm={tmp_path}",
                     "dut0 and dut1 have the same UART port /dev/same", "the DUT scope must be one of"):
            assert text in errors
        assert "collected" not in result.stdout.str()

    def test_xdist_workers_never_share_a_dut(self, pytester, tmp_path):
        pytest.importorskip("xdist")
        pytester.makepyfile(self.PRINT)
        for options, text in (
                (("--nvt-transport", f"sim:nvm={tmp_path}"), "pytest-xdist runs 2 workers for 1 DUT(s)"),
                (("--nvt-uart", "/dev/ttyS0"), "pytest-xdist runs 2 workers for 1 DUT(s)"),
                (("--nvt-count", "2", "--dist", "loadfile"), "use --dist each, not loadfile")):
            result = pytester.runpytest(*PLUGIN, "-n", "2", *options)
            assert result.ret == pytest.ExitCode.USAGE_ERROR
            assert text in result.stderr.str()

    def test_scope_decides_how_often_a_dut_is_opened(self, pytester, files):
        pytester.makepyfile("""
seen = []

def test_a(dut):
    seen.append(id(dut))

def test_b(dut):
    seen.append(id(dut))
    print("OPENS", len(set(seen)))
""")
        for scope, opens in (("function", 2), ("module", 1)):
            result = pytester.runpytest(*PLUGIN, "-s", "--nvt-firmware", files.firmware, "--nvt-scope", scope)
            result.assert_outcomes(passed=2)
            result.stdout.fnmatch_lines([f"*OPENS {opens}*"])


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
    # pip never loads the library: no sanitizer runtimes for it.
    pip_env = {key: value for key, value in os.environ.items() if key != "LD_PRELOAD"}
    install = subprocess.run(
        [sys.executable, "-m", "pip", "install", "--no-build-isolation", "--no-deps", "--no-index",
         "--quiet", "--disable-pip-version-check", "--target", str(target), str(source)],
        env=pip_env, capture_output=True, text=True)
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
            env=env, cwd=tmp_path, capture_output=True, text=True).stdout


LINE_SUITE = """
import os
import pytest

@pytest.mark.nvt_measurement("tx_reads", low=1, high=50, unit="reads")
@pytest.mark.nvt_measurement("rx", low=5, unit="packets", marginal=(8, None))
def test_radio(duts, measure):
    for dut in duts:
        dut.tx_start(19, 37, 0, 100)
        reads = 1
        while dut.tx_packets():
            reads += 1
        measure("tx_reads", reads, dut=dut)
        dut.rx_start(19)
        measure("rx", dut.rx_packets(), dut=dut)
        dut.radio_stop()

@pytest.mark.nvt_measurement("aio", low=508, high=516, unit="mV")
def test_io(duts, measure):
    for dut in duts:
        dut.aio_set(1, 512)
        measure("aio", dut.aio_get(1), dut=dut)

@pytest.mark.nvt_measurement("uart_line")
def test_uart(duts, measure):
    for dut in duts:
        dut.uart_loopback(dut.uart, 115200)
        measure("uart_line", os.path.realpath(dut.uart), dut=dut)
"""

MEASUREMENTS = {"test_radio": ("tx_reads", "rx"), "test_io": ("aio",), "test_uart": ("uart_line",)}


class TestThreeDuts:
    """A line suite on three simulated DUTs, each with its own NVM and UART
    line, in one process and in three pytest-xdist workers."""

    @pytest.fixture
    def line(self, pytester, files, tmp_path, monkeypatch, env_python):
        # For child interpreters: the package and the library of this run.
        monkeypatch.setenv("PYTHONPATH", env_python["PYTHONPATH"])
        monkeypatch.setenv("NIVORATEST_LIBRARY", env_python["NIVORATEST_LIBRARY"])
        pytester.makepyfile(test_line=LINE_SUITE)
        links = [str(tmp_path / f"uart{i}") for i in range(3)]
        transports = [f"sim:nvm={tmp_path / f'nvm{i}'},uartlink={links[i]}" for i in range(3)]
        return ["--nvt-count", "3", "--nvt-transport", "|".join(transports), "--nvt-uart", "|".join(links),
                "--nvt-serial", "SN-0001|SN-0002|SN-0003", "--nvt-firmware", files.firmware,
                "--nvt-keydb", files.keydb, "--nvt-scope", "module", "--nvt-station", "line-3"], transports

    def check(self, xml_path, transports, cases_per_test):
        root = ET.parse(xml_path).getroot()
        measured = {}
        identities = {}
        for case in root.iter("testcase"):
            props = [(p.get("name"), p.get("value")) for p in case.iter("property")]
            assert ("nvt.station", "line-3") in props
            for name, value in props:
                if name.startswith("nvt.dut"):
                    _, dut, key = name.split(".")
                    identities.setdefault(dut, {})[key] = value
                elif name.endswith(".result"):
                    measured.setdefault(case.get("name"), []).append((name[:-len(".result")], value))
        assert len(list(root.iter("testcase"))) == 3 * cases_per_test
        assert identities == {f"dut{i}": {"serial": f"SN-000{i + 1}", "chip_id": "0x4b2d",
                                          "transport": transports[i], "library": "1.3.0.68"} for i in range(3)}
        for test, names in MEASUREMENTS.items():
            # Every DUT measured once, every value judged.
            taken = sorted(key for key, _ in measured[test])
            assert taken == sorted(f"dut{i}/{name}" for i in range(3) for name in names)
            assert {result for _, result in measured[test]} <= {"pass", "marginal"}
        assert ("dut0/rx", "marginal") in measured["test_radio"]
        # Three different pseudo-terminals: no UART line is shared.
        lines = {p.get("value") for p in root.iter("property") if p.get("name").endswith("/uart_line")}
        assert len(lines) == 3 and all(line.startswith("/dev/pts/") for line in lines)

    def test_in_one_process(self, pytester, line):
        options, transports = line
        xml_path = pytester.path / "one.xml"
        result = pytester.runpytest(*PLUGIN, *options, f"--junitxml={xml_path}")
        result.assert_outcomes(passed=3)
        self.check(xml_path, transports, cases_per_test=1)

    def test_in_three_xdist_workers(self, pytester, line):
        pytest.importorskip("xdist")
        options, transports = line
        xml_path = pytester.path / "three.xml"
        # A new interpreter: pytest-xdist hands its workers the controller's
        # sys.path as it was at start, so the package must be on it then.
        result = pytester.runpytest_subprocess(*PLUGIN, *options, "-n", "3", f"--junitxml={xml_path}")
        # Each worker is a slot that runs the whole suite on its own DUT.
        result.assert_outcomes(passed=9)
        self.check(xml_path, transports, cases_per_test=3)
