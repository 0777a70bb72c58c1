"""pytest plugin: devices under test as fixtures, declared measurements with
limits, and a JUnit XML that names every DUT and the station.

Registered through the ``pytest11`` entry point when the package is
installed; from a checkout use ``pytest -p nivoratest.pytest_plugin``.

Settings: each has a command-line option, an ini-file key and an
environment variable; the command line wins over the environment, the
environment over the ini file. The per-DUT ones take one value for every
DUT or a ``|``-separated list with one value per DUT ("" for none).

- ``--nvt-count N`` (``nvt_count``, ``NIVORATEST_COUNT``): the number of
  DUTs; by default the length of the longest per-DUT list, else 1.
- ``--nvt-transport T`` (``nvt_transport``, ``NIVORATEST_TRANSPORT``), per
  DUT: the transport string (default ``sim``).
- ``--nvt-serial S`` (``nvt_serial``, ``NIVORATEST_SERIAL``), per DUT: the
  unit's serial, recorded with its results.
- ``--nvt-uart PORT`` (``nvt_uart``, ``NIVORATEST_UART``), per DUT: the PC
  serial port wired to its UART (``Dut.uart``).
- ``--nvt-firmware XBV`` (``nvt_firmware``, ``NIVORATEST_FIRMWARE``), per
  DUT: the production-test firmware loaded when the DUT opens.
- ``--nvt-keydb PATH`` (``nvt_keydb``, ``NIVORATEST_KEYDB``), per DUT: the
  CS key database (default: ``nivoratest.default_keydb()``).
- ``--nvt-scope SCOPE`` (``nvt_scope``, ``NIVORATEST_SCOPE``): how long the
  DUT fixtures live: ``function`` (default), ``class``, ``module``,
  ``package`` or ``session``.
- ``--nvt-station NAME`` (``nvt_station``, ``NIVORATEST_STATION``): the
  station's name in the results (default: the host name).

Settings are checked once at start (list lengths, scope, files, two DUTs on
one device, UART port or serial); a problem stops the run with one message.

Fixtures:

``duts``     the DUTs of this process, a list of :class:`Dut` (an open
             :class:`nivoratest.Device` with ``index``, ``name`` "dut0"...,
             ``serial`` and ``uart``), the firmware loaded when given. They
             live as long as ``--nvt-scope`` says, so a module-scoped
             sequence loads the firmware once.
``dut``      the first of ``duts``.
``measure``  ``measure(name, value, low=None, high=None, unit="", dut=None)``
             records a measurement and returns the value. It never stops
             the test: every failing or marginal value is recorded, and the
             test fails at its end when any measurement failed or a
             declared one was never taken.

Declared measurements: ``@pytest.mark.nvt_measurement(name, low=None,
high=None, unit="", marginal=(low, high))`` names a measurement the test
must take, once per DUT it uses; ``measure(name, value)`` then takes the
limits from the declaration. A value inside the limits but outside the
marginal band passes as "marginal".

pytest-xdist: each worker is a test slot. The DUTs are shared out among
the workers (worker k gets DUTs k, k + n, ...), and with more than one DUT
configured every worker runs every test on its own DUTs (the plugin sets
``--dist each``). Simulated DUTs that share nothing may be copied to
workers that have none of their own.

JUnit XML (``--junitxml``): each test case carries the station
(``nvt.station``), the identity of every DUT it used (``nvt.dut0.serial``,
``.chip_id``, ``.transport``, ``.library``) and every measurement: ``name``
(``dut0/name`` on a DUT) with ``.low``, ``.high``, ``.unit``,
``.marginal_low``, ``.marginal_high`` when given, ``.result`` (pass,
marginal, fail or not taken) and ``.error`` when the value could not be
judged.
"""

from __future__ import annotations

import math
import os
import socket
from dataclasses import dataclass, field
from typing import (Any, Callable, Dict, Generator, Iterator, List, Literal, Optional, Sequence,
                    Set, Tuple, TypeVar, Union, cast)

import pytest

import nivoratest

from . import sim

__all__ = ["Dut", "DutSetup", "Settings", "Declared"]

_Scope = Literal["session", "package", "module", "class", "function"]
_SCOPES: Tuple[str, ...] = ("function", "class", "module", "package", "session")
_Value = Union[str, int, float, bool]

# name: (metavar, help, per DUT)
_SETTINGS: Dict[str, Tuple[str, str, bool]] = {
    "count": ("N", "number of DUTs (default: the longest per-DUT list, else 1)", False),
    "transport": ("T", "transport string of each DUT (default: sim)", True),
    "serial": ("S", "serial of each DUT, recorded with its results", True),
    "uart": ("PORT", "PC serial port wired to each DUT's UART", True),
    "firmware": ("XBV", "production-test firmware loaded into each DUT when it opens", True),
    "keydb": ("PATH", "CS key database of each DUT (default: nivoratest.default_keydb())", True),
    "scope": ("SCOPE", "life of the DUT fixtures: function (default), class, module, package, session", False),
    "station": ("NAME", "name of the test station in the results (default: the host name)", False),
}


def _env_name(name: str) -> str:
    return "NIVORATEST_" + name.upper()


@dataclass(frozen=True)
class DutSetup:
    """What the settings say about one DUT."""

    index: int
    transport: str
    serial: Optional[str] = None
    uart: Optional[str] = None
    firmware: Optional[str] = None
    keydb: Optional[str] = None

    @property
    def name(self) -> str:
        return f"dut{self.index}"


@dataclass
class Settings:
    """The plugin's settings, checked; ``local`` are this process's DUTs."""

    duts: List[DutSetup]
    scope: _Scope
    station: str
    # Whether DUTs were configured at all (a count or a per-DUT list).
    configured: bool
    local: List[DutSetup] = field(default_factory=list)
    workers: int = 0


_SETTINGS_KEY = pytest.StashKey[Settings]()


def pytest_addoption(parser: pytest.Parser) -> None:
    group = parser.getgroup("nivoratest", "NivoraTest devices under test")
    for name, (metavar, text, per_dut) in _SETTINGS.items():
        more = " ('|' between the values of several DUTs)" if per_dut else ""
        group.addoption(f"--nvt-{name}", default=None, metavar=metavar,
                        help=f"{text}{more}; also ini {'nvt_' + name}, environment {_env_name(name)}")
        parser.addini(f"nvt_{name}", f"{text}{more}", default=None)


def _raw_setting(config: pytest.Config, name: str) -> Optional[str]:
    """The value from the command line, else the environment, else the ini file."""
    value = config.getoption(f"--nvt-{name}")
    if value is None:
        value = os.environ.get(_env_name(name)) or None
    if value is None:
        ini = config.getini(f"nvt_{name}")
        value = ini.strip() if isinstance(ini, str) and ini.strip() else None
    return cast(Optional[str], value)


def _xdist_workers(config: pytest.Config) -> Tuple[int, Optional[int]]:
    """(number of workers, this worker's number or None in the controller);
    (0, None) without pytest-xdist."""
    workerinput = getattr(config, "workerinput", None)
    if workerinput is not None:
        return int(workerinput["workercount"]), int(str(workerinput["workerid"]).lstrip("gw"))
    if config.getoption("dist", "no") != "no":
        return len(config.getoption("tx", None) or []), None
    return 0, None


def _read_settings(config: pytest.Config) -> Settings:
    problems: List[str] = []
    lists: Dict[str, List[str]] = {}
    for name, (_, _, per_dut) in _SETTINGS.items():
        raw = _raw_setting(config, name)
        if per_dut and raw is not None:
            lists[name] = [part.strip() for part in raw.split("|")]

    raw_count = _raw_setting(config, "count")
    count = max([len(values) for values in lists.values()] + [1])
    if raw_count is not None:
        try:
            count = int(raw_count)
            if count < 1:
                raise ValueError
        except ValueError:
            problems.append(f"the DUT count must be a whole number of 1 or more, not {raw_count!r}")
            count = 1
    for name, values in lists.items():
        if len(values) not in (1, count):
            problems.append(f"{len(values)} values of {name} ({'|'.join(values)}) for {count} DUTs: "
                            "give one for all or one per DUT")

    def value(name: str, index: int) -> Optional[str]:
        values = lists.get(name)
        if not values:
            return None
        chosen = values[index] if len(values) == count else values[0]
        return chosen or None

    duts = [DutSetup(index, value("transport", index) or "sim", value("serial", index), value("uart", index),
                    value("firmware", index), value("keydb", index)) for index in range(count)]

    for setup in duts:
        for kind, path in (("firmware", setup.firmware), ("key database", setup.keydb)):
            if path and not os.path.isfile(path):
                problems.append(f"{setup.name}: the {kind} {path} does not exist")
    distinct: List[Tuple[str, Callable[[DutSetup], Optional[str]]]] = [
        ("transport", lambda d: d.transport if sim.shared_resource(d.transport) else None),
        ("UART port", lambda d: d.uart), ("serial", lambda d: d.serial)]
    for what, key in distinct:
        seen: Dict[str, str] = {}
        for setup in duts:
            item = key(setup)
            if item is None:
                continue
            if item in seen:
                problems.append(f"{seen[item]} and {setup.name} have the same {what} {item}: "
                                "every DUT needs its own")
            seen.setdefault(item, setup.name)

    scope = _raw_setting(config, "scope") or "function"
    if scope not in _SCOPES:
        problems.append(f"the DUT scope must be one of {', '.join(_SCOPES)}, not {scope!r}")
        scope = "function"

    configured = raw_count is not None or any(len(values) > 1 for values in lists.values())
    settings = Settings(duts, cast(_Scope, scope), _raw_setting(config, "station") or socket.gethostname(),
                        configured)

    workers, worker = _xdist_workers(config)
    settings.workers = workers
    if workers > 1:
        # A copy of a DUT for another worker must share nothing with it.
        private = all(not sim.shared_resource(d.transport) and not d.serial and not d.uart for d in duts)
        if count < workers and not private:
            problems.append(f"pytest-xdist runs {workers} workers for {count} DUT(s): every worker "
                            "needs a DUT of its own (--nvt-count and one value per DUT)")
        if configured and worker is None:
            dist = config.getoption("dist")
            if dist == "load":
                # Each worker is a slot that runs every test on its DUTs.
                config.option.dist = "each"
            elif dist != "each":
                problems.append(f"the DUTs are shared out among the pytest-xdist workers, each "
                                f"running every test: use --dist each, not {dist}")
    if worker is None:
        settings.local = list(duts)
    elif count < workers:
        settings.local = list(duts)  # private simulated DUTs: a copy for every worker
    else:
        settings.local = [d for d in duts if d.index % workers == worker]

    if problems:
        raise pytest.UsageError("nivoratest: " + "\n  ".join(problems))
    return settings


def pytest_configure(config: pytest.Config) -> None:
    config.addinivalue_line(
        "markers", "nvt_measurement(name, low=None, high=None, unit='', marginal=None): a measurement "
        "the test must take (once per DUT it uses), with its limits, unit and marginal band")
    config.stash[_SETTINGS_KEY] = _read_settings(config)


def pytest_report_header(config: pytest.Config) -> str:
    settings = config.stash[_SETTINGS_KEY]
    try:
        where = f"{nivoratest.version()} at {nivoratest.library_path()}"
    except OSError as error:
        where = f"not loaded ({str(error).splitlines()[0]})"
    duts = ", ".join(f"{d.name} {d.transport!r}" for d in settings.duts)
    slots = ""
    if settings.workers > 1:
        slots = f"; shared out among {settings.workers} pytest-xdist workers"
    return f"nivoratest: library {where}, station {settings.station!r}, {duts}{slots}"


# ---------------------------------------------------------------------------
# DUTs

class Dut(nivoratest.Device):
    """An open DUT of the plugin: a :class:`nivoratest.Device` that knows
    its place in the settings and its identity."""

    def __init__(self, setup: DutSetup) -> None:
        super().__init__(setup.transport, keydb=setup.keydb)
        self.setup = setup
        self.index = setup.index
        self.name = setup.name
        self.serial = setup.serial
        self.uart = setup.uart
        try:
            if setup.firmware:
                self.load_firmware(setup.firmware)
            self.identity: Dict[str, str] = {
                "serial": setup.serial or "",
                "chip_id": f"{self.chip_id():#06x}",
                "transport": setup.transport,
                "library": str(nivoratest.version()),
            }
        except BaseException:
            self.close()
            raise

    def __repr__(self) -> str:
        return f"<nivoratest Dut {self.name} {self.transport!r}{' closed' if self.closed else ''}>"


def _dut_scope(fixture_name: str, config: pytest.Config) -> _Scope:
    return config.stash[_SETTINGS_KEY].scope


@pytest.fixture(scope=_dut_scope)
def nvt_open_duts(request: pytest.FixtureRequest) -> Iterator[List[Dut]]:
    """This process's DUTs, open for the scope of ``--nvt-scope``."""
    opened: List[Dut] = []
    try:
        for setup in request.config.stash[_SETTINGS_KEY].local:
            opened.append(Dut(setup))
        yield opened
    finally:
        for dut in opened:
            dut.close()


def _record_identity(request: pytest.FixtureRequest, duts: Sequence[Dut]) -> None:
    record = _record_of(request.node)
    properties = request.node.user_properties
    if not record.station_written:
        properties.append(("nvt.station", request.config.stash[_SETTINGS_KEY].station))
        record.station_written = True
    for dut in duts:
        if dut.name in record.duts:
            continue
        record.duts[dut.name] = dut
        for key, text in dut.identity.items():
            properties.append((f"nvt.{dut.name}.{key}", text))


@pytest.fixture
def duts(request: pytest.FixtureRequest, nvt_open_duts: List[Dut]) -> List[Dut]:
    """The DUTs of this process (see the module text)."""
    _record_identity(request, nvt_open_duts)
    return nvt_open_duts


@pytest.fixture
def dut(request: pytest.FixtureRequest, nvt_open_duts: List[Dut]) -> Dut:
    """The first DUT of this process."""
    if not nvt_open_duts:
        pytest.skip("no DUT for this process")
    _record_identity(request, nvt_open_duts[:1])
    return nvt_open_duts[0]


# ---------------------------------------------------------------------------
# Measurements

@dataclass(frozen=True)
class Declared:
    """A measurement a test declared with the ``nvt_measurement`` marker."""

    name: str
    low: Any = None
    high: Any = None
    unit: str = ""
    marginal_low: Any = None
    marginal_high: Any = None

    @classmethod
    def from_mark(cls, mark: pytest.Mark) -> "Declared":
        if len(mark.args) != 1 or not isinstance(mark.args[0], str):
            raise TypeError("nvt_measurement takes the measurement's name as its one positional argument")
        extra = set(mark.kwargs) - {"low", "high", "unit", "marginal"}
        if extra:
            raise TypeError(f"nvt_measurement does not know {', '.join(sorted(extra))}")
        marginal = mark.kwargs.get("marginal") or (None, None)
        if not isinstance(marginal, (tuple, list)) or len(marginal) != 2:
            raise TypeError("nvt_measurement: marginal is a pair (low, high); either may be None")
        return cls(mark.args[0], mark.kwargs.get("low"), mark.kwargs.get("high"),
                   str(mark.kwargs.get("unit", "")), marginal[0], marginal[1])


def _judge(value: Any, low: Any, high: Any, marginal_low: Any, marginal_high: Any) -> Tuple[str, str]:
    """(result, error): pass, marginal or fail, and why a value could not be judged."""
    try:
        if isinstance(value, float) and math.isnan(value) and (low is not None or high is not None):
            return "fail", ""
        if (low is not None and value < low) or (high is not None and value > high):
            return "fail", ""
        if (marginal_low is not None and value < marginal_low) or \
                (marginal_high is not None and value > marginal_high):
            return "marginal", ""
        return "pass", ""
    except TypeError:
        return "fail", f"cannot compare {value!r} with its limits"


def _plain(value: Any) -> _Value:
    # Report properties travel between pytest-xdist processes: plain types only.
    return value if isinstance(value, (str, int, float, bool)) else str(value)


@dataclass
class _Record:
    """The measurements of one test."""

    declared: Dict[str, Declared] = field(default_factory=dict)
    duts: Dict[str, Dut] = field(default_factory=dict)
    taken: Set[Tuple[str, Optional[str]]] = field(default_factory=set)
    failures: List[str] = field(default_factory=list)
    station_written: bool = False
    finished: bool = False


_RECORD_KEY = pytest.StashKey[_Record]()


def _record_of(item: Any) -> _Record:
    record: Optional[_Record] = item.stash.get(_RECORD_KEY, None)
    if record is None:
        record = _Record()
        for mark in reversed(list(item.iter_markers("nvt_measurement"))):
            declared = Declared.from_mark(mark)
            record.declared[declared.name] = declared
        item.stash[_RECORD_KEY] = record
    return record


def pytest_collection_modifyitems(items: List[pytest.Item]) -> None:
    problems = []
    for item in items:
        names: Set[str] = set()
        for mark in item.iter_markers("nvt_measurement"):
            try:
                name = Declared.from_mark(mark).name
            except TypeError as error:
                problems.append(f"{item.nodeid}: {error}")
                continue
            if name in names:
                problems.append(f"{item.nodeid}: the measurement {name!r} is declared twice")
            names.add(name)
    if problems:
        raise pytest.UsageError("nivoratest: " + "\n  ".join(problems))


Measure = Callable[..., Any]


@pytest.fixture
def measure(request: pytest.FixtureRequest) -> Measure:
    """``measure(name, value, low=None, high=None, unit="", dut=None)``; see
    the module text."""
    record = _record_of(request.node)
    # Properties go straight to the test's user properties, which the JUnit
    # writer puts into the test case (record_property would do the same, but
    # warns under the default xunit2 family).
    properties = request.node.user_properties

    def measure(name: str, value: Any, low: Any = None, high: Any = None, unit: str = "",
                dut: Optional[nivoratest.Device] = None) -> Any:
        if dut is None and len(record.duts) == 1:
            dut = next(iter(record.duts.values()))
        label = getattr(dut, "name", None) if dut is not None else None
        key = f"{label}/{name}" if label else name
        declared = record.declared.get(name)
        marginal_low = marginal_high = None
        error = ""
        if declared is not None:
            if low is not None or high is not None:
                error = "its limits are declared by its nvt_measurement marker; give none here"
            low, high, unit = declared.low, declared.high, unit or declared.unit
            marginal_low, marginal_high = declared.marginal_low, declared.marginal_high
        result, judged = _judge(value, low, high, marginal_low, marginal_high)
        if error:
            result = "fail"
        error = error or judged
        record.taken.add((name, label))

        properties.append((key, _plain(value)))
        for suffix, extra in (("low", low), ("high", high), ("unit", unit or None),
                              ("marginal_low", marginal_low), ("marginal_high", marginal_high)):
            if extra is not None:
                properties.append((f"{key}.{suffix}", _plain(extra)))
        properties.append((f"{key}.result", result))
        if error:
            properties.append((f"{key}.error", error))
        if result == "fail":
            space = " " if unit else ""
            text = f"{key} = {value!r}{space}{unit}"
            if error:
                record.failures.append(f"{text}: {error}")
            else:
                low_text = "-inf" if low is None else low
                high_text = "inf" if high is None else high
                record.failures.append(f"{text} is outside [{low_text}, {high_text}]")
        return value

    return measure


def _finish(item: pytest.Item) -> List[str]:
    """Marks declared measurements never taken and returns every problem."""
    record = _record_of(item)
    if record.finished:
        return []
    record.finished = True
    labels: List[Optional[str]] = list(record.duts) or [None]
    problems = list(record.failures)
    for name in record.declared:
        for label in labels:
            if (name, label) not in record.taken:
                key = f"{label}/{name}" if label else name
                item.user_properties.append((f"{key}.result", "not taken"))
                problems.append(f"{key} was never taken")
    return problems


_F = TypeVar("_F", bound=Callable[..., Any])
# pluggy's marker has no type annotations; this gives its decorator one.
_hookwrapper = cast(Callable[..., Callable[[_F], _F]], pytest.hookimpl)(hookwrapper=True)


@_hookwrapper
def pytest_runtest_makereport(item: pytest.Item, call: pytest.CallInfo[None]) -> Generator[None, Any, None]:
    outcome = yield
    report: pytest.TestReport = outcome.get_result()
    if report.skipped or not (report.when == "call" or (report.when == "setup" and report.failed)):
        return
    if _RECORD_KEY not in item.stash and item.get_closest_marker("nvt_measurement") is None:
        return  # a test that measures nothing
    problems = _finish(item)
    if not problems:
        return
    text = "measurements:\n  " + "\n  ".join(problems)
    if report.passed:
        report.outcome = "failed"
        report.longrepr = text
    else:
        report.sections.append(("nivoratest measurements", text))
