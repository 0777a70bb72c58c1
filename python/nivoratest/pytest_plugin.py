"""pytest plugin: a device under test as a fixture, and measurements with limits.

Registered through the ``pytest11`` entry point when the package is
installed; from a checkout use ``pytest -p nivoratest.pytest_plugin``.

Options:

``--nvt-transport T``  transport string of the DUT (default ``sim``)
``--nvt-keydb PATH``   CS key database (default: see ``nivoratest.default_keydb``)
``--nvt-firmware XBV`` production-test firmware loaded into every ``dut``

Fixtures:

``dut``      an open :class:`nivoratest.Device`, closed after the test
``measure``  ``measure(name, value, low=None, high=None, unit="")`` records a
             measurement, fails the test when the value lies outside its
             limits (inclusive) and returns the value. Every measurement is
             written into the JUnit XML (``--junitxml``) as properties of its
             test case: ``name`` (the value) and, when given, ``name.low``,
             ``name.high``, ``name.unit``, and ``name.result`` (pass or fail).
"""

import pytest

import nivoratest


def pytest_addoption(parser):
    group = parser.getgroup("nivoratest", "NivoraTest device under test")
    group.addoption("--nvt-transport", default="sim", metavar="T",
                    help="transport string of the device under test (default: sim)")
    group.addoption("--nvt-keydb", default=None, metavar="PATH",
                    help="CS key database (default: CSCONFIGFILE, else cskey_db.xml beside the library)")
    group.addoption("--nvt-firmware", default=None, metavar="XBV",
                    help="production-test firmware to load into every dut")


def pytest_report_header(config):
    try:
        where = f"{nivoratest.version()} at {nivoratest.library_path()}"
    except OSError as error:
        where = f"not loaded ({str(error).splitlines()[0]})"
    return f"nivoratest: library {where}, transport {config.getoption('--nvt-transport')!r}"


@pytest.fixture
def dut(request):
    """An open device on ``--nvt-transport``, with ``--nvt-firmware`` loaded."""
    option = request.config.getoption
    with nivoratest.Device(option("--nvt-transport"), keydb=option("--nvt-keydb")) as device:
        firmware = option("--nvt-firmware")
        if firmware:
            device.load_firmware(firmware)
        yield device


def _inside(value, low, high):
    # Written as "not outside" so that a NaN fails whenever a limit is given.
    return (low is None or value >= low) and (high is None or value <= high)


@pytest.fixture
def measure(request):
    """``measure(name, value, low=None, high=None, unit="")``; see the module text."""
    # Properties go straight to the test's user properties, which the JUnit
    # writer puts into the test case (record_property would do the same, but
    # warns under the default xunit2 family).
    properties = request.node.user_properties

    def measure(name, value, low=None, high=None, unit=""):
        passed = _inside(value, low, high)
        properties.append((name, value))
        for suffix, extra in (("low", low), ("high", high), ("unit", unit or None)):
            if extra is not None:
                properties.append((f"{name}.{suffix}", extra))
        properties.append((f"{name}.result", "pass" if passed else "fail"))
        if not passed:
            low_text = "-inf" if low is None else low
            high_text = "inf" if high is None else high
            space = " " if unit else ""
            pytest.fail(f"{name} = {value}{space}{unit} is outside [{low_text}, {high_text}]",
                        pytrace=False)
        return value

    return measure
