"""A standard SCPI client (pyvisa with the pyvisa-py backend) measures one
simulated DUT through the simulated RF tester, as a bench script would."""

import subprocess

import pytest

import nivoratest
from nivoratest import sim

pyvisa = pytest.importorskip("pyvisa", reason="python3-pyvisa and python3-pyvisa-py are not installed")

# pyvisa-py imports a standard module that newer Pythons deprecate; that is
# the package's concern, not this test's.
pytestmark = pytest.mark.filterwarnings("ignore::DeprecationWarning")


@pytest.fixture
def rftester():
    """The rftester beside the library, listening on a free port; yields the port."""
    process = subprocess.Popen([str(sim.tool("rftester")), "--listen", "127.0.0.1:0", "--ports", "2"],
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    try:
        line = process.stdout.readline().strip()
        prefix = "rftester: listening on 127.0.0.1:"
        assert line.startswith(prefix), line
        yield int(line[len(prefix):].split()[0])
    finally:
        process.terminate()
        process.wait(timeout=10)


@pytest.fixture
def tester(rftester):
    """The tester as a VISA socket resource."""
    manager = pyvisa.ResourceManager("@py")
    resource = manager.open_resource(f"TCPIP::127.0.0.1::{rftester}::SOCKET",
                                     read_termination="\n", write_termination="\n", timeout=5000)
    yield resource
    resource.close()
    manager.close()


def test_a_visa_client_measures_a_dut_through_the_tester(rftester, tester, files):
    assert tester.query("*IDN?").startswith("NivoraTest,rftester,")
    with nivoratest.Device(f"sim:xtal_ppm=8,tx_dbm=2.5,rf=127.0.0.1:{rftester}/2") as dut:
        dut.load_firmware(files.firmware)
        dut.carrier_start(19, 0)
        tester.write("ROUT:PORT 2;:CONF:CHAN 19")
        power = float(tester.query("READ:POW?"))
        offset = float(tester.query("READ:FREQ:OFFS?"))
        assert tester.query("SYST:ERR?") == '0,"No error"'
        assert power == pytest.approx(2.5, abs=0.6)
        # 8 ppm of 2440 MHz at the mid-scale trim the firmware starts with.
        assert offset == pytest.approx(2440e6 * 8e-6, abs=600)

        dut.radio_stop()
        assert float(tester.query("READ:POW?")) == pytest.approx(9.91e37)
        error = tester.query("SYST:ERR?")
        assert error.startswith('-200,"Execution error;nothing transmitting at port 2')
