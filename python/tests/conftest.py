"""Shared fixtures: the package from this checkout, fixture files built once
per session by the builders beside the library, and devices in the states
the tests start from."""

import os
import subprocess
import sys

PYTHON_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
if PYTHON_DIR not in sys.path:
    sys.path.insert(0, PYTHON_DIR)

import pytest  # noqa: E402

import nivoratest  # noqa: E402
from nivoratest import sim  # noqa: E402
from nivoratest.addresses import find_station_program  # noqa: E402

pytest_plugins = ["pytester", "nivoratest.pytest_plugin"]


class Files:
    """Paths of the fixture files of one session."""

    def __init__(self, folder):
        self.folder = folder
        self.keydb = str(sim.sample_keydb())
        self.firmware = str(sim.build_firmware(folder / "ptest.xbv"))
        self.image = str(sim.build_image(folder / "blank.xuv", keydb=self.keydb))


@pytest.fixture(scope="session")
def files(tmp_path_factory):
    return Files(tmp_path_factory.mktemp("fixtures"))


@pytest.fixture
def device():
    """A connected simulated DUT, nothing cached, no firmware."""
    with nivoratest.Device("sim") as dut:
        yield dut


@pytest.fixture
def cached(device, files):
    """The DUT with the blank-chip image in its CS cache."""
    device.cs_read_from_file(files.image)
    return device


@pytest.fixture
def loaded(device, files):
    """The DUT with the production-test firmware running."""
    device.load_firmware(files.firmware)
    return device


@pytest.fixture
def env_python():
    """Environment for a child Python that imports the package from this
    checkout and finds the same library."""
    env = dict(os.environ)
    env["PYTHONPATH"] = PYTHON_DIR + os.pathsep + env.get("PYTHONPATH", "")
    env["NIVORATEST_LIBRARY"] = str(nivoratest.library_path())
    return env


@pytest.fixture
def store_db(tmp_path):
    """A new address store (SQLite) with the range 005B:02:000100-0001FF."""
    db = str(tmp_path / "addresses.db")
    subprocess.run([str(find_station_program()), "addresses", "add", "--db", db, "--nap", "0x5B", "--uap", "2",
                    "--first", "0x100", "--last", "0x1FF"], check=True, capture_output=True)
    return db
