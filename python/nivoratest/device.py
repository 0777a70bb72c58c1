"""The device handle as a Python object, and the calls that need no handle."""

from __future__ import annotations

import ctypes
import enum
import operator
import os
import warnings
from typing import Any, List, NamedTuple, Optional, Sequence, SupportsIndex, Tuple, Union

from . import _library
from .errors import NvtError, NvtHandleError, NvtWarning, Result, error_for

__all__ = ["Device", "NVM", "Version", "version", "transports", "default_keydb", "StrPath",
           "FORKED_TEXT"]

#: A path argument: str, bytes or a path-like object.
StrPath = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]


class NVM(enum.IntEnum):
    """NVM types of :meth:`Device.cs_read_from_chip` and :meth:`Device.cs_write_to_chip`."""

    EEPROM = 1
    SPI_FLASH = 2


class Version(NamedTuple):
    """The library version; ``str()`` gives the dotted form ``1.3.0.68``."""

    major: int
    minor: int
    release: int
    build: int

    def __str__(self) -> str:
        return ".".join(str(part) for part in self)


# ---------------------------------------------------------------------------
# Argument checks. Every value is checked against its C type before it is
# handed to ctypes, which would otherwise keep only the low bits in silence.

def _uint(name: str, value: SupportsIndex, bits: int) -> int:
    try:
        number = operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be an integer, not {type(value).__name__}") from None
    top = (1 << bits) - 1
    if not 0 <= number <= top:
        raise ValueError(f"{name} must be between 0 and {top} (unsigned {bits}-bit), got {number}")
    return number


def _no_nul(name: str, data: bytes) -> bytes:
    if b"\0" in data:
        raise ValueError(f"{name} must not contain a NUL character")
    return data


def _text(name: str, value: Union[str, bytes, bytearray]) -> bytes:
    """A str (UTF-8) or bytes argument as a NUL-free C string."""
    if isinstance(value, str):
        data = value.encode("utf-8")
    elif isinstance(value, (bytes, bytearray)):
        data = bytes(value)
    else:
        raise TypeError(f"{name} must be str or bytes, not {type(value).__name__}")
    return _no_nul(name, data)


def _path(name: str, value: Optional[StrPath], optional: bool = False) -> Optional[bytes]:
    """A path-like argument in the file system's encoding; None when optional."""
    if value is None and optional:
        return None
    try:
        data = os.fsencode(value)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(f"{name} must be a path (str, bytes or os.PathLike), "
                        f"not {type(value).__name__}") from None
    return _no_nul(name, data)


def _required_path(name: str, value: StrPath) -> bytes:
    data = _path(name, value)
    assert data is not None
    return data


def _decode(raw: Optional[bytes]) -> str:
    return raw.decode("utf-8", errors="replace") if raw else ""


def _last_error(lib: ctypes.CDLL, handle: Optional[int]) -> str:
    return _decode(lib.nvtGetLastError(handle))


# ---------------------------------------------------------------------------

def version() -> Version:
    """The library version as a :class:`Version` (``str()`` gives "1.3.0.68")."""
    lib = _library.load()
    parts = [ctypes.c_uint8() for _ in range(4)]
    with _library.locked():
        lib.nvtGetVersion(*(ctypes.byref(p) for p in parts))
    return Version(*(p.value for p in parts))


def transports() -> List[str]:
    """Names of the transports the library can open, as a list of str."""
    lib = _library.load()
    count, needed = ctypes.c_size_t(), ctypes.c_size_t()
    with _library.locked():
        # The first call only learns the size; the list is written only when
        # it fits whole, so a list that grew in between is simply asked again.
        lib.nvtGetTransports(None, 0, ctypes.byref(count), ctypes.byref(needed))
        for _ in range(4):
            size = max(needed.value, 1)
            buffer = ctypes.create_string_buffer(size)
            if lib.nvtGetTransports(buffer, size, ctypes.byref(count), ctypes.byref(needed)) == 0:
                names = buffer.raw[:size].split(b"\0")
                return [_decode(name) for name in names[:count.value]]
    raise error_for(Result.ERR_GENERAL, "the transport list could not be read", "nvtGetTransports")


def default_keydb() -> Optional[str]:
    """The key database a :class:`Device` opened with ``keydb=None`` uses.

    None when ``CSCONFIGFILE`` is set (the library reads it), else
    ``cskey_db.xml`` beside the library when that file exists, else None (the
    library then looks beside the running program, the Python interpreter).
    """
    if os.environ.get("CSCONFIGFILE"):
        return None
    beside = _library.library_path().parent / "cskey_db.xml"
    return str(beside) if beside.is_file() else None


#: Text of the error a handle raises in a process forked from the one that
#: opened it.
FORKED_TEXT = ("The device was opened in another process; this one was forked from it. "
               "Open the device again in this process.")

# The largest buffer a 16-bit length can describe: asked for at once, so the
# library never fails a call for want of room and leaves a text behind.
_MAX16 = 0xFFFF


class Device:
    """One device under test behind one library handle.

    ``Device(transport="sim", keydb=None)`` opens and connects the handle; a
    failed open raises and leaves no handle behind, and so does a Ctrl-C
    during the open (KeyboardInterrupt is raised once the handle is
    released). Use it as a context manager, or call :meth:`close`; a device
    that is garbage-collected open is closed then. After :meth:`close` every
    call raises :class:`~nivoratest.NvtHandleError` with the library's
    invalid-handle text. In a process forked from the one that opened it,
    every call raises :class:`~nivoratest.NvtHandleError` with
    :data:`FORKED_TEXT`, and :meth:`close` only forgets the handle (the
    connection stays the parent's).

    ``keydb`` is the CS key database; with None see :func:`default_keydb`.

    Every method is one export. A negative result raises the
    :class:`~nivoratest.NvtError` subclass of its family, carrying the code
    and the handle's last error text. Integer arguments are checked against
    their C types first: a value that does not fit raises ValueError, a
    non-integer TypeError, and neither reaches the library. The library's
    own range checks (channel 0-39 and so on) raise NvtParameterError with
    its text. Threads may share a device: calls are serialised.
    """

    def __init__(self, transport: str = "sim", keydb: Optional[StrPath] = None) -> None:
        self._handle: Optional[int] = None
        self._generation = _library.generation()
        self.transport = transport
        self.keydb: Optional[str] = None
        transport_c = _text("transport", transport)
        keydb_c = _path("keydb", default_keydb() if keydb is None else keydb, optional=True)
        self.keydb = os.fsdecode(keydb_c) if keydb_c is not None else None
        lib = _library.load()
        handle = ctypes.c_void_p()
        error: Optional[NvtError] = None
        try:
            # Ctrl-C is held back from the call's return until the handle is
            # kept or released, so it cannot fall in between.
            with _library.locked(), _library.InterruptsDeferred():
                rc = lib.nvtOpen(transport_c, keydb_c, ctypes.byref(handle))
                if rc < 0:
                    if handle.value:
                        # A failed connection still registers the handle.
                        text = _last_error(lib, handle.value)
                        lib.nvtClose(handle.value)
                    elif rc == Result.ERR_OUT_OF_MEMORY:
                        text = "Out of memory"
                    else:
                        text = "no handle was created (at most 100 handles can be open at once)"
                    error = error_for(rc, text, "nvtOpen")
                else:
                    self._handle = handle.value
        except BaseException:
            # KeyboardInterrupt as the block ended: the caller never gets
            # this device, so nobody else would release the handle.
            self.close()
            raise
        if error is not None:
            raise error

    # -- life cycle ---------------------------------------------------------

    def close(self) -> None:
        """Closes the handle; closing again does nothing.

        Safe against a call running in another thread: that call either ends
        first or sees a closed device (invalid-handle error).
        """
        if self._generation != _library.generation():
            self._handle = None  # the parent's handle: not ours to close
            return
        if self._handle is None:
            return
        with _library.locked():
            handle, self._handle = self._handle, None
            if handle:
                _library.load().nvtClose(handle)

    @property
    def closed(self) -> bool:
        """True once :meth:`close` ran, and in a process forked from the one
        that opened the device (the handle is not usable there)."""
        return self._handle is None or self._generation != _library.generation()

    def __enter__(self) -> "Device":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __del__(self) -> None:
        try:
            self.close()
        except Exception:  # interpreter shutdown: the module may be gone
            pass

    def __repr__(self) -> str:
        state = "closed" if self.closed else "open"
        return f"<nivoratest.Device {self.transport!r} {state}>"

    @property
    def last_error(self) -> str:
        """The handle's last error text ("" when none); for a closed device
        the library's invalid-handle text."""
        if self._handle is not None and self._generation != _library.generation():
            return FORKED_TEXT
        with _library.locked():
            return _last_error(_library.load(), self._handle)

    # -- call frame ---------------------------------------------------------

    def _raw(self, name: str, *args: Any) -> Tuple[int, str]:
        """(result, text) of one export; the text is read only on failure or
        warning, under the same lock as the call and of the same handle."""
        lib = _library.load()
        with _library.locked():
            # Read once: a close in another thread cannot change the handle
            # between the call and the text. A closed device passes a null
            # handle: never a stale address, which a later handle could be
            # given again.
            handle = self._handle
            if handle is not None and self._generation != _library._generation:
                raise NvtHandleError(Result.ERR_INVALID_HANDLE, FORKED_TEXT, name)
            rc: int = getattr(lib, name)(handle, *args)
            text = _last_error(lib, handle) if rc != 0 else ""
        return rc, text

    def _call(self, name: str, *args: Any) -> int:
        rc, text = self._raw(name, *args)
        if rc < 0:
            raise error_for(rc, text, name)
        if rc > 0:
            warnings.warn(NvtWarning(f"{name}: {text}"), stacklevel=3)
        return rc

    def _read16(self, name: str, *args: Any) -> int:
        value = ctypes.c_uint16()
        self._call(name, *args, ctypes.byref(value))
        return value.value

    # -- connection and firmware -------------------------------------------

    def chip_id(self) -> int:
        """The chip's identification word."""
        return self._read16("nvtGetChipId")

    def load_firmware(self, path: StrPath, load_cs_keys: int = False) -> None:
        """Downloads and starts the production-test firmware of an XBV file.

        With ``load_cs_keys`` true the cached CS keys are copied into the
        firmware's RAM (their version must match the firmware's). An int
        counts as true when nonzero; it must fit the 8-bit flag (0-255).
        """
        self._call("nvtLoadPtFirmware", _required_path("path", path),
                   _uint("load_cs_keys", load_cs_keys, 8))

    def firmware_build_info(self, path: Optional[StrPath] = None) -> str:
        """Build-id text of the XBV file ``path``, or of the loaded firmware."""
        path_c = _path("path", path, optional=True)
        # Room for the longest text a 16-bit length allows, so the call
        # never fails for want of room (which would leave a text behind).
        length = ctypes.c_uint16(_MAX16)
        buffer = ctypes.create_string_buffer(_MAX16)
        self._call("nvtGetPtFwBuildInfo", path_c, ctypes.byref(length), buffer)
        return _decode(buffer.value)

    def firmware_build_id(self, path: Optional[StrPath] = None) -> int:
        """Build id of the XBV file ``path``, or of the loaded firmware."""
        return self._read16("nvtGetPtFwBuildId", _path("path", path, optional=True))

    def firmware_cs_version(self, path: Optional[StrPath] = None) -> int:
        """CS keys version of the XBV file ``path``, or of the loaded firmware."""
        return self._read16("nvtGetPtFwCsVersion", _path("path", path, optional=True))

    def firmware_api_version(self) -> int:
        """API version the loaded firmware announced (32 bits)."""
        value = ctypes.c_uint32()
        self._call("nvtGetPtFwApiVersion", ctypes.byref(value))
        return value.value

    # -- radio --------------------------------------------------------------

    def set_xtal_trim(self, v: int) -> None:
        """Sets the crystal trim (the library accepts 0-63)."""
        self._call("nvtRadSetXtalTrim", _uint("xtal trim", v, 16))

    def carrier_start(self, channel: int, mhz: int) -> None:
        """Starts a carrier on ``channel`` (0-39) or at ``mhz`` (0, or 2402-2480)."""
        self._call("nvtRadCwStart", _uint("channel", channel, 8), _uint("mhz", mhz, 16))

    def radio_stop(self) -> None:
        """Stops the running radio test."""
        self._call("nvtRadStop")

    def tx_start(self, channel: int, length: int, payload: int, count: int) -> None:
        """Starts sending ``count`` packets (channel 0-39, length 0-37, payload 0-7)."""
        self._call("nvtRadTxStart", _uint("channel", channel, 8), _uint("length", length, 8),
                   _uint("payload", payload, 8), _uint("count", count, 16))

    def tx_packets(self) -> int:
        """The transmit counter; 0 ends the burst."""
        return self._read16("nvtRadTxGetPkts")

    def rx_start(self, channel: int) -> None:
        """Starts receiving on ``channel`` (0-39)."""
        self._call("nvtRadRxStart", _uint("channel", channel, 8))

    def rx_packets(self) -> int:
        """The receive counter (needs a running reception)."""
        return self._read16("nvtRadRxGetPkts")

    # -- PIO, LED, AIO, UART ------------------------------------------------

    def pio_assign(self, a: int, b: int) -> None:
        """Assigns PIO lines: two 32-bit words, passed to the firmware as they are."""
        self._call("nvtPioAssign", _uint("a", a, 32), _uint("b", b, 32))

    def pio_set(self, a: int, b: int) -> None:
        """Sets PIO lines: two 32-bit words."""
        self._call("nvtPioSet", _uint("a", a, 32), _uint("b", b, 32))

    def pio_get(self) -> Tuple[int, int]:
        """Reads the PIO lines: a tuple of the two 32-bit words ``(a, b)``."""
        a, b = ctypes.c_uint32(), ctypes.c_uint32()
        self._call("nvtPioGet", ctypes.byref(a), ctypes.byref(b))
        return a.value, b.value

    def led_set(self, word: int, mode: int, value: int, brightness: int) -> None:
        """Drives an LED (the library accepts mode 0-3 and brightness 0-100)."""
        self._call("nvtLedSet", _uint("word", word, 32), _uint("mode", mode, 8),
                   _uint("value", value, 16), _uint("brightness", brightness, 8))

    def aio_set(self, ch: int, v: int) -> None:
        """Sets analogue output channel ``ch`` to ``v``."""
        self._call("nvtAioSet", _uint("ch", ch, 8), _uint("v", v, 16))

    def aio_get(self, ch: int) -> int:
        """Reads analogue input channel ``ch``."""
        return self._read16("nvtAioGet", _uint("ch", ch, 8))

    def uart_loopback(self, port: StrPath, baud: int) -> None:
        """UART loopback through the PC serial port ``port`` at ``baud``.

        A failed echo raises NvtTestFailedError; an unsupported rate
        NvtParameterError.
        """
        self._call("nvtUartLbTest", _required_path("port", port), _uint("baud", baud, 32))

    # -- configuration store ------------------------------------------------

    def cs_read_from_chip(self, nvm: int, cs_only: int = False) -> None:
        """Reads the CS image from the chip's NVM (:class:`NVM`) into the cache.

        ``nvm`` is a 32-bit value of which the library reads only the low
        8 bits (so 257 acts as EEPROM); anything but 1 or 2 there is refused.
        The handle drops back to the connected state, whatever the result.
        """
        self._call("nvtCsCacheReadFromChip", _uint("nvm", nvm, 32), _uint("cs_only", cs_only, 8))

    def cs_write_to_chip(self, nvm: int, cs_only: int = False) -> None:
        """Writes the cached image (or only its CS block) to the chip's NVM.

        ``nvm`` as for :meth:`cs_read_from_chip`, low 8 bits counted.
        """
        self._call("nvtCsCacheWriteToChip", _uint("nvm", nvm, 32), _uint("cs_only", cs_only, 8))

    def cs_read_from_file(self, path: StrPath) -> None:
        """Reads the cache from an XUV, IMG or KEYR file."""
        self._call("nvtCsCacheReadFromFile", _required_path("path", path))

    def cs_write_to_file(self, path: StrPath) -> Optional[str]:
        """Writes the cache to an XUV, IMG or KEYR file.

        Returns None, or the warning text when the library wrote the file but
        reports that the system may have redirected it (result 1).
        """
        rc, text = self._raw("nvtCsCacheWriteToFile", _required_path("path", path))
        if rc < 0:
            raise error_for(rc, text, "nvtCsCacheWriteToFile")
        return text if rc == Result.WARNING else None

    def cs_read_item(self, name: Union[str, bytes]) -> List[int]:
        """The words of CS key ``name`` (any case) as a list of int."""
        name_c = _text("name", name)
        # Room for the longest key a 16-bit length allows (see
        # firmware_build_info).
        data = (ctypes.c_uint16 * _MAX16)()
        length = ctypes.c_uint16(_MAX16)
        self._call("nvtCsCacheReadItem", name_c, data, ctypes.byref(length))
        return list(data[:length.value])

    def cs_write_item(self, name: Union[str, bytes], values: Sequence[int]) -> None:
        """Writes CS key ``name``; ``values`` are 16-bit words, exactly the key's length."""
        name_c = _text("name", name)
        if isinstance(values, (str, bytes)):
            raise TypeError("values must be a sequence of integers")
        words = [_uint(f"values[{i}]", v, 16) for i, v in enumerate(values)]
        count = _uint("len(values)", len(words), 16)
        data = (ctypes.c_uint16 * max(count, 1))(*words)
        length = ctypes.c_uint16(count)
        self._call("nvtCsCacheWriteItem", name_c, data, ctypes.byref(length))

    def cs_version(self) -> int:
        """CS version of the cached data."""
        return self._read16("nvtCsCacheGetVersion")

    def cs_file_merge(self, path: StrPath, merge_firmware: int = False) -> None:
        """Merges a file into the cache.

        False merges the file's CS key values into the cache; True takes the
        file's header and firmware and keeps the cache's key values (not from
        a KEYR file). An int is passed as the 32-bit flag, of which the
        library reads only the low 8 bits: 0 and 1 there are the two merges
        (so 256 merges the key values, 257 the firmware), anything else is
        refused with NvtParameterError.
        """
        self._call("nvtCsCacheFileMerge", _required_path("path", path),
                   _uint("merge_firmware", merge_firmware, 32))
