"""Result codes of the library and the exceptions a failing call raises.

Every exception here pickles and copies whole (a process pool sends a
worker's exception to its parent that way).
"""

from __future__ import annotations

import enum
from typing import Type, Union

__all__ = [
    "Result", "NvtWarning", "NvtError", "NvtHandleError", "NvtTestFailedError",
    "NvtSequenceError", "NvtParameterError", "NvtDeviceError", "NvtFirmwareError",
    "NvtCsError", "error_for",
]


class Result(enum.IntEnum):
    """Result codes, named as in ``nivoratest.h`` without the ``NVT_`` prefix."""

    WARNING = 1
    OK = 0
    ERR_GENERAL = -1
    ERR_UNSUPPORTED = -2
    ERR_INVALID_HANDLE = -3
    ERR_OUT_OF_MEMORY = -4
    ERR_TEST_FAILED = -5
    ERR_SEQUENCE = -6
    ERR_INVALID_PARAM = -10
    ERR_BUFFER_TOO_SMALL = -11
    ERR_CONNECTION = -20
    ERR_UNSUPPORTED_DEVICE = -21
    ERR_STOP_FAILED = -22
    ERR_WRITE_FAILED = -23
    ERR_READ_FAILED = -24
    ERR_FW_UNSPECIFIED = -30
    ERR_FW_COMMAND_FAILED = -31
    ERR_FW_INIT_FAILED = -32
    ERR_FW_TIMEOUT = -33
    ERR_FW_FILE = -34
    ERR_CS_GENERAL = -40
    ERR_CS_NOT_INIT = -41
    ERR_CS_VERSION = -42


class NvtWarning(UserWarning):
    """A call returned the warning result 1 where no value carries it."""


class NvtError(Exception):
    """A library call returned a negative result.

    ``code`` is the :class:`Result` (a plain int for a code the table does not
    know), ``text`` the handle's last error text as the library stored it, and
    ``function`` the name of the export that failed.
    """

    code: Union[Result, int]
    text: str
    function: str

    def __init__(self, code: int, text: str, function: str = "") -> None:
        try:
            self.code = Result(code)
        except ValueError:
            self.code = int(code)
        self.text = text
        self.function = function
        # The arguments rebuild the object: pickle and copy call the class
        # with them.
        super().__init__(self.code, text, function)

    def __str__(self) -> str:
        name = self.code.name if isinstance(self.code, Result) else "unknown code"
        where = f"{self.function}: " if self.function else ""
        return f"{self.text or '(no text)'} [{where}{int(self.code)} {name}]"


class NvtHandleError(NvtError):
    """-3: the handle is closed or was never opened."""


class NvtTestFailedError(NvtError):
    """-5: the test ran and failed (for example the UART loopback)."""


class NvtSequenceError(NvtError):
    """-6: the call does not fit the handle's state."""


class NvtParameterError(NvtError):
    """-10, -11: an argument the library refused, or a buffer too small."""


class NvtDeviceError(NvtError):
    """-20 to -24: connection, unsupported device, stop, write or read."""


class NvtFirmwareError(NvtError):
    """-30 to -34: a firmware command, its start, a timeout or the XBV file."""


class NvtCsError(NvtError):
    """-40 to -42: the configuration-store cache."""


def error_for(code: int, text: str, function: str = "") -> NvtError:
    """The exception object for a negative result code."""
    cls: Type[NvtError]
    if code == Result.ERR_INVALID_HANDLE:
        cls = NvtHandleError
    elif code == Result.ERR_TEST_FAILED:
        cls = NvtTestFailedError
    elif code == Result.ERR_SEQUENCE:
        cls = NvtSequenceError
    elif code in (Result.ERR_INVALID_PARAM, Result.ERR_BUFFER_TOO_SMALL):
        cls = NvtParameterError
    elif -24 <= code <= -20:
        cls = NvtDeviceError
    elif -34 <= code <= -30:
        cls = NvtFirmwareError
    elif -42 <= code <= -40:
        cls = NvtCsError
    else:
        cls = NvtError
    return cls(code, text, function)
