"""NivoraTest for Python: the production-test library over ctypes.

    import nivoratest

    with nivoratest.Device("sim", keydb="cskey_db.xml") as dut:
        dut.cs_read_from_chip(nivoratest.NVM.EEPROM)
        dut.load_firmware("ptest.xbv", load_cs_keys=True)
        dut.carrier_start(19, 2440)

The shared library is found through ``NIVORATEST_LIBRARY``, else the build
folder of this checkout, else the system's library path (see
:mod:`nivoratest._library`). It is loaded on first use, so importing the
package never fails for want of it.
"""

from ._library import LibraryNotFoundError, library_path
from .addresses import AddressRecord, AddressStore, AddressStoreError
from .device import NVM, Device, Version, default_keydb, transports, version
from .errors import (NvtCsError, NvtDeviceError, NvtError, NvtFirmwareError, NvtHandleError,
                     NvtParameterError, NvtSequenceError, NvtTestFailedError, NvtWarning, Result)

__version__ = "1.3.0.68"

__all__ = [
    "Device", "NVM", "Result", "Version", "version", "transports", "default_keydb",
    "library_path", "LibraryNotFoundError", "NvtWarning", "NvtError", "NvtHandleError",
    "NvtTestFailedError", "NvtSequenceError", "NvtParameterError", "NvtDeviceError",
    "NvtFirmwareError", "NvtCsError", "AddressStore", "AddressRecord", "AddressStoreError",
]
