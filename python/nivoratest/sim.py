"""Helpers for the simulated DUT of this checkout (transport ``sim``).

Firmware and image files for the simulated chip are made by the fixture
builders that the build puts beside the library (``xbvgen``,
``nvimagegen``, and the sample key database ``cskey_db.xml``); a builder
that is not there is looked for on ``PATH``. Build them with

    cmake --build build --target nivoratest xbvgen nvimagegen

None of this is needed on real hardware, where the firmware, the image and
the key database come from the product.
"""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
from pathlib import Path
from typing import Dict, List, Optional, Sequence, Set, Union

from . import _library
from .device import Device, StrPath
from .errors import NvtTestFailedError

__all__ = ["CS_VERSION", "CS_WORDS", "BUILD_ID", "tool", "sample_keydb", "build_firmware",
           "build_image", "uart_port", "shared_resource"]

#: CS version of the sample key database's current build, and the words its
#: keys take in the CS block (version word included).
CS_VERSION = 13
CS_WORDS = 97
#: Build id of the firmware the builders make by default.
BUILD_ID = 2603


def tool(name: str) -> Path:
    """Path of a fixture builder beside the library, else on ``PATH``."""
    exe = name + (".exe" if sys.platform == "win32" else "")
    beside = _library.library_path().parent / exe
    if beside.is_file():
        return beside
    found = shutil.which(exe)
    if found:
        return Path(found)
    raise FileNotFoundError(
        f"the fixture builder {exe} is neither beside the library ({beside.parent}) nor on PATH; "
        f"build it with: cmake --build build --target {name}")


def sample_keydb() -> Path:
    """The sample CS key database beside the library."""
    path = _library.library_path().parent / "cskey_db.xml"
    if not path.is_file():
        raise FileNotFoundError(f"no sample key database at {path}; configure the build (cmake -S . -B build)")
    return path


def _run(command: Sequence[object]) -> None:
    done = subprocess.run([str(part) for part in command], capture_output=True, text=True)
    if done.returncode != 0:
        raise RuntimeError(f"{' '.join(str(c) for c in command)} failed ({done.returncode}): "
                           f"{done.stderr.strip()}")


def build_firmware(path: StrPath, cs_version: int = CS_VERSION, cs_words: int = CS_WORDS,
                   **options: Union[str, int, bool, None]) -> Path:
    """Writes a production-test firmware (XBV) the simulated chip runs.

    Further xbvgen options are given as keywords, underscores for dashes
    (``build_id=7``, ``behaviour="silent"``, ``no_build_text=True``).
    Returns the path.
    """
    command: List[object] = [tool("xbvgen"), "--cs-version", cs_version, "--cs-words", cs_words]
    for key, value in options.items():
        flag = "--" + key.replace("_", "-")
        if value is True:
            command.append(flag)
        elif value is not False and value is not None:
            command += [flag, value]
    _run(command + [os.fsdecode(path)])
    return Path(os.fsdecode(path))


def build_image(path: StrPath, keydb: Optional[StrPath] = None, cs_version: int = CS_VERSION,
                build_id: int = BUILD_ID, keys: Optional[Dict[str, Sequence[int]]] = None) -> Path:
    """Writes a whole NVM image (XUV, or IMG for a ``.img`` path) for a blank chip.

    The CS block is laid out by ``keydb`` (default: the sample database) with
    every key at its default, except the ``keys`` given as ``{name: [words]}``.
    Returns the path.
    """
    command: List[object] = [tool("nvimagegen"), "--keydb", os.fsdecode(keydb or sample_keydb()),
                             "--cs-version", cs_version, "--build-id", build_id, "--cs-words", CS_WORDS]
    if os.fsdecode(path).lower().endswith(".img"):
        command.append("--img")
    for name, words in (keys or {}).items():
        command += ["--key", f"{name}=" + ",".join(str(w) for w in words)]
    _run(command + [os.fsdecode(path)])
    return Path(os.fsdecode(path))


def _open_terminals() -> Set[str]:
    """Terminal devices this process holds open (Linux)."""
    names = set()
    for fd in os.listdir("/proc/self/fd"):
        try:
            target = os.readlink(f"/proc/self/fd/{fd}")
        except OSError:
            continue
        if target.startswith("/dev/pts/"):
            names.add(target)
    return names


def uart_port(dut: Device, baud: int = 115200) -> str:
    """The serial port wired to the simulated chip's UART (Linux).

    The simulated UART is a pseudo-terminal that the simulator inside this
    process makes when the firmware is first told a rate, and the transport
    offers no name for it. So the first call wakes it: a loopback against a
    terminal of our own (it fails, nobody echoes there, but the firmware has
    received command 0x0500), after which the chip's terminal is the one
    this process holds open that was not open before. The port is kept on
    the device object for later calls. Needs the firmware loaded.
    """
    cached: Optional[str] = getattr(dut, "_sim_uart_port", None)
    if cached:
        return cached
    if not sys.platform.startswith("linux"):
        raise OSError("the simulated UART is a pseudo-terminal only on Linux")
    # Ctrl-C is held back until both ends are in the block that closes them.
    with _library.InterruptsDeferred():
        master, slave = os.openpty()
    try:
        before = _open_terminals()
        try:
            dut.uart_loopback(os.ttyname(slave), baud)
        except NvtTestFailedError:
            pass  # expected: the chip's UART is now there
        new = sorted(_open_terminals() - before)
    finally:
        os.close(slave)
        os.close(master)
    if len(new) != 1:
        raise OSError(f"cannot tell the simulated chip's UART among {new or 'no new terminals'}")
    setattr(dut, "_sim_uart_port", new[0])
    return new[0]


def shared_resource(transport: str) -> bool:
    """Whether two DUTs opened with ``transport`` would share something.

    Every open of a simulated transport makes a chip of its own, unless its
    options name a file that outlives it: NVM backing files (``nvm``) or the
    link to its UART (``uartlink``, ``uartline``). Any other transport names
    a device, which only one DUT can be.
    """
    if transport != "sim" and not transport.startswith("sim:"):
        return True
    options = transport[4:].split(",") if transport.startswith("sim:") else []
    return any(option.split("=", 1)[0].strip() in ("nvm", "uartlink", "uartline") for option in options)
