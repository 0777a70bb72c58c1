"""The check that the binding's copies of the public header (result codes,
NVM types, ctypes prototypes) match the header: it passes on the checkout
and fails on each planted difference."""

import shutil
import subprocess
import sys
from pathlib import Path

import pytest

TOP = Path(__file__).resolve().parent.parent.parent
CHECK = TOP / "tests" / "exports" / "check_python_binding.py"
HEADER = TOP / "include" / "nivoratest.h"


def check(header, package):
    done = subprocess.run([sys.executable, str(CHECK), "--header", str(header), "--package", str(package)],
                          capture_output=True, text=True)
    assert done.returncode in (0, 1), done.stderr
    return done.returncode, done.stdout


def test_checkout_agrees():
    assert check(HEADER, TOP / "python") == (
        0, "the Python binding agrees with the header: 23 result codes, 2 NVM types, 33 prototypes\n")


@pytest.fixture
def planted(tmp_path):
    """Copies of the header and the package to plant differences in."""
    shutil.copytree(TOP / "python" / "nivoratest", tmp_path / "nivoratest",
                    ignore=shutil.ignore_patterns("__pycache__"))
    shutil.copy(HEADER, tmp_path / "nivoratest.h")

    def plant(file, old, new):
        path = tmp_path / file
        text = path.read_text()
        assert old in text
        path.write_text(text.replace(old, new, 1))

    plant.header = tmp_path / "nivoratest.h"
    plant.package = tmp_path
    return plant


@pytest.mark.parametrize("file, old, new, line", [
    ("nivoratest.h", "nvtRadCwStart(NvtHandle handle, uint8_t channel, uint16_t frequencyMhz)",
     "nvtRadCwStart(NvtHandle handle, uint8_t channel, uint32_t frequencyMhz)",
     "nvtRadCwStart argument 3 is c_uint in the header, c_ushort in the binding"),
    ("nivoratest.h", "uint16_t* length, char* buffer)", "uint16_t* length)",
     "nvtGetPtFwBuildInfo takes 3 arguments in the header, 4 in the binding"),
    ("nivoratest.h", "#define NVT_ERR_CS_VERSION        (-42)", "#define NVT_ERR_CS_VERSION        (-43)",
     "result code ERR_CS_VERSION is -43 in the header, -42 in the binding"),
    ("nivoratest.h", "#define NVT_NVM_SPI_FLASH 2", "#define NVT_NVM_SPI_FLASH 3",
     "NVM type SPI_FLASH is 3 in the header, 2 in the binding"),
    ("nivoratest/_library.py", '"nvtGetLastError": (_s, [_p]),', '"nvtGetLastError": (_i32, [_p]),',
     "nvtGetLastError returns c_char_p in the header, c_int in the binding"),
    ("nivoratest/_library.py", '    "nvtRadStop": (_i32, [_p]),\n', "",
     "nvtRadStop has no prototype in the binding"),
    ("nivoratest/errors.py", "    ERR_FW_TIMEOUT = -33\n", "",
     "result code NVT_ERR_FW_TIMEOUT = -33 is missing in the binding"),
])
def test_planted_difference_fails_the_check(planted, file, old, new, line):
    planted(file, old, new)
    code, output = check(planted.header, planted.package)
    assert code == 1
    assert output.splitlines()[1:] == [f"  {line}"]
