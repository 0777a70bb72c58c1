"""Bluetooth addresses from the station's address store, for scripts.

    from nivoratest.addresses import AddressStore

    store = AddressStore("station.db")
    unit = store.take("SN-0001", nap=0x5B, uap=0x02)    # reserved for the serial
    ...write unit.words to the BLUETOOTH_ADDRESS key, write the CS...
    store.mark(unit.address, "written", serial="SN-0001")

The store's rules live in one place, the station program: this module runs
``station addresses take|mark|show`` and reads the one line of JSON each
prints. So a script gets the guarantees of the station's own runs: a serial
has one address and keeps it (a retest, or a retry after a failure, takes
the same one again), no address is given out twice, an address is on disk
before :meth:`AddressStore.take` returns it, and states only move forward:
reserved, written, verified, committed (or scrapped, with a reason).

The station program is the one given, else the one beside the loaded
library, else the one in this checkout's build (``$NVT_BUILD_DIR/bin``, then
``build/bin``).
"""

from __future__ import annotations

import json
import operator
import os
import re
import subprocess
import sys
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Dict, List, Optional, Sequence, SupportsIndex, Tuple, Union

from . import _library
from .device import StrPath

__all__ = ["AddressStore", "AddressRecord", "AddressStoreError", "STATES", "address_text",
           "find_station_program"]

#: The states an address moves through, in order, and the end of a scrapped one.
STATES = ("reserved", "written", "verified", "committed", "scrapped")

_ADDRESS = re.compile(r"[0-9A-Fa-f]{4}:[0-9A-Fa-f]{2}:[0-9A-Fa-f]{6}")
_PROGRAM = "station" + (".exe" if sys.platform == "win32" else "")


class AddressStoreError(Exception):
    """The store refused a request or could not be reached.

    ``text`` is the station's message, ``command`` the store command
    (``take``, ``mark``, ``show``; empty when the station program was not
    found) and ``status`` the program's exit status (None when it did not
    run to its end). Pickles and copies whole.
    """

    def __init__(self, text: str, command: str = "", status: Optional[int] = None) -> None:
        self.text = text
        self.command = command
        self.status = status
        # The arguments rebuild the object in pickle and copy.
        super().__init__(text, command, status)

    def __str__(self) -> str:
        return f"addresses {self.command}: {self.text}" if self.command else self.text


def address_text(words: Sequence[int]) -> str:
    """The store's form ``NNNN:UU:LLLLLL`` of the four words of the
    BLUETOOTH_ADDRESS key (LAP high byte, LAP low word, UAP, NAP)."""
    if len(words) != 4:
        raise ValueError(f"a Bluetooth address is 4 words, not {len(words)}")
    lap = (words[0] & 0xFF) << 16 | (words[1] & 0xFFFF)
    return f"{words[3] & 0xFFFF:04X}:{words[2] & 0xFF:02X}:{lap:06X}"


@dataclass(frozen=True)
class AddressRecord:
    """What the store holds for one address.

    ``address`` is ``NNNN:UU:LLLLLL`` (upper case), ``state`` one of
    :data:`STATES`, ``serial`` the unit it belongs to ("" for none),
    ``reason`` why it was scrapped, ``station`` and ``run_id`` who took it,
    ``reserved`` and ``updated`` UTC times. ``new`` is set by
    :meth:`AddressStore.take` only: True for an address taken now, False for
    the one the serial already had.
    """

    address: str
    state: str
    serial: str
    reason: str = ""
    station: str = ""
    run_id: str = ""
    reserved: str = ""
    updated: str = ""
    new: Optional[bool] = None

    @property
    def nap(self) -> int:
        return int(self.address[0:4], 16)

    @property
    def uap(self) -> int:
        return int(self.address[5:7], 16)

    @property
    def lap(self) -> int:
        return int(self.address[8:14], 16)

    @property
    def words(self) -> List[int]:
        """The four words of the BLUETOOTH_ADDRESS key."""
        return [self.lap >> 16, self.lap & 0xFFFF, self.uap, self.nap]

    @classmethod
    def from_json(cls, data: Dict[str, Any]) -> "AddressRecord":
        """Reads the station's JSON object; raises ValueError when it is not one."""
        address = data.get("address")
        if not isinstance(address, str) or not _ADDRESS.fullmatch(address):
            raise ValueError(f"no address in {data!r}")
        texts: Dict[str, str] = {}
        for name in ("state", "serial", "reason", "station", "run_id", "reserved", "updated"):
            value = data.get(name, "")
            if not isinstance(value, str):
                raise ValueError(f"{name} is not a text in {data!r}")
            texts[name] = value
        if texts["state"] not in STATES:
            raise ValueError(f"unknown state in {data!r}")
        new = data.get("new")
        if new is not None and not isinstance(new, bool):
            raise ValueError(f"new is not true or false in {data!r}")
        return cls(address=address.upper(), new=new, **texts)


def find_station_program() -> Path:
    """The station program: beside the loaded library, else in this
    checkout's build; raises :class:`AddressStoreError` naming every place
    looked at."""
    places: List[Path] = []
    try:
        places.append(_library.library_path().parent)
    except OSError:
        pass  # no library: the build folders may still have the program
    for folder in _library.build_folders():
        if folder not in places:
            places.append(folder)
    for folder in places:
        if (folder / _PROGRAM).is_file():
            return folder / _PROGRAM
    looked = ", ".join(str(folder) for folder in places) or "nowhere"
    raise AddressStoreError(f"the station program {_PROGRAM} is neither beside the library nor in the build "
                            f"(looked in: {looked}); build it (cmake --build build --target station) "
                            "or give its path")


def _argument(name: str, value: str) -> str:
    """A text argument for the station's command line: a str without NUL."""
    if not isinstance(value, str):
        raise TypeError(f"{name} must be a str, not {type(value).__name__}")
    if "\0" in value:
        raise ValueError(f"{name} must not contain a NUL character")
    return value


class AddressStore:
    """An address store (a SQLite file, or a ``postgresql://`` URL) reached
    through the station program.

    ``station_program`` is the program's path (default: see
    :func:`find_station_program`). ``timeout`` (seconds, default None) ends a
    command that takes longer with :class:`AddressStoreError`; the station
    itself waits at most 30 s for a locked store and 10 s for a PostgreSQL
    server that does not answer.
    Every refusal and failure raises :class:`AddressStoreError` with the
    station's text.
    """

    def __init__(self, db: StrPath, station_program: Optional[StrPath] = None,
                 timeout: Optional[float] = None) -> None:
        try:
            self.db = _argument("db", os.fsdecode(db))
        except TypeError:
            raise TypeError(f"db must be a path or URL (str, bytes or os.PathLike), not {type(db).__name__}") from None
        self.program = Path(os.fsdecode(station_program)) if station_program is not None \
            else find_station_program()
        self.timeout = timeout

    def __repr__(self) -> str:
        return f"<nivoratest.AddressStore {self.db!r} via {str(self.program)!r}>"

    def take(self, serial: str, nap: SupportsIndex, uap: SupportsIndex,
             station: Optional[str] = None) -> AddressRecord:
        """The address of unit ``serial`` under ``nap``:``uap``: the one the
        serial already has (not scrapped; ``new`` False), else a new one,
        reserved for it (``new`` True). It is on disk when this returns, so
        the caller may write it to the device. ``station`` names the
        station in the store (default: the host name)."""
        arguments = [f"--serial={_argument('serial', serial)}",
                     f"--nap={operator.index(nap)}", f"--uap={operator.index(uap)}"]
        if station is not None:
            arguments.append(f"--station={_argument('station', station)}")
        record = self._run("take", arguments)
        if record is None or record.new is None:
            raise AddressStoreError("the station answered without an address", "take")
        return record

    def mark(self, address: Union[str, AddressRecord], state: str, serial: Optional[str] = None,
             reason: Optional[str] = None) -> AddressRecord:
        """Moves ``address`` on to ``state`` (written, verified, committed or
        scrapped, which needs a ``reason``) and returns its record. States
        only move forward; with ``serial`` an address of another unit is
        refused."""
        text = address.address if isinstance(address, AddressRecord) else address
        arguments = [f"--address={_argument('address', text)}", f"--state={_argument('state', state)}"]
        if serial is not None:
            arguments.append(f"--serial={_argument('serial', serial)}")
        if reason is not None:
            arguments.append(f"--reason={_argument('reason', reason)}")
        record = self._run("mark", arguments)
        if record is None:
            raise AddressStoreError("the station answered without an address", "mark")
        return record

    def show(self, address: Optional[str] = None, serial: Optional[str] = None) -> Optional[AddressRecord]:
        """The record of ``address``, or of the address of unit ``serial``;
        None when the store has none. Give exactly one of the two."""
        if (address is None) == (serial is None):
            raise TypeError("show() takes an address or a serial, not both or neither")
        arguments = [f"--address={_argument('address', address)}" if address is not None
                     else f"--serial={_argument('serial', serial or '')}"]
        return self._run("show", arguments)

    def _run(self, command: str, arguments: List[str]) -> Optional[AddressRecord]:
        """Runs one store command; its record, or None for ``{"address": null}``."""
        argv = [str(self.program), "addresses", command, f"--db={self.db}", *arguments]
        try:
            done = subprocess.run(argv, capture_output=True, text=True, errors="replace", timeout=self.timeout,
                                  stdin=subprocess.DEVNULL)
        except subprocess.TimeoutExpired:
            raise AddressStoreError(f"the station did not answer within {self.timeout:g} s", command) from None
        except OSError as error:
            raise AddressStoreError(f"cannot run {self.program}: {error}", command) from None
        answer, problem = _answer(done.stdout)
        if isinstance(answer, dict) and isinstance(answer.get("error"), str):
            raise AddressStoreError(answer["error"], command, done.returncode)
        if done.returncode != 0 or answer is None:
            # A refused command line answers on stderr only.
            lines = [line for line in done.stderr.splitlines() if line.strip() and not line.startswith("Run with --help")]
            text = "\n".join(lines) or problem or f"the station ended with status {done.returncode}"
            raise AddressStoreError(text, command, done.returncode)
        if answer.get("address") is None:
            return None
        try:
            return AddressRecord.from_json(answer)
        except ValueError as error:
            raise AddressStoreError(f"the station's answer cannot be read: {error}", command,
                                    done.returncode) from None


def _answer(stdout: str) -> Tuple[Optional[Dict[str, Any]], str]:
    """(the JSON object of the station's one line, or None; why not)."""
    lines = [line for line in stdout.splitlines() if line.strip()]
    if len(lines) != 1:
        return None, f"the station answered {len(lines)} lines, not one"
    try:
        value = json.loads(lines[0])
    except ValueError:
        return None, f"the station's answer is not JSON: {lines[0][:200]!r}"
    if not isinstance(value, dict):
        return None, f"the station's answer is not a JSON object: {lines[0][:200]!r}"
    return value, ""
