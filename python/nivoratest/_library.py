"""Finding and loading the NivoraTest shared library, and the call lock.

The library is looked for, in this order:

1. ``NIVORATEST_LIBRARY``: the path of the library file, or a folder that
   holds it. When the variable is set nothing else is tried.
2. The build folder of the checkout this package sits in:
   ``$NVT_BUILD_DIR/bin`` when that variable is set, then ``build/bin``.
3. The system's library search path (``LD_LIBRARY_PATH``, the loader cache).

When none loads, :class:`LibraryNotFoundError` lists every path tried.

The library takes no locks and keeps process-wide state, so every call goes
through :data:`lock`: two Python threads never run library code at once,
and the text of a failure is read before another call can replace it.
"""

import ctypes
import os
import sys
import threading
from pathlib import Path

__all__ = ["LibraryNotFoundError", "load", "library_path", "lock"]

#: Serialises every call into the library (see the module text).
lock = threading.RLock()

if sys.platform == "win32":
    LIBRARY_NAME = "NivoraTest.dll"
elif sys.platform == "darwin":
    LIBRARY_NAME = "libnivoratest.dylib"
else:
    LIBRARY_NAME = "libnivoratest.so"

# The checkout's root when the package is imported from python/nivoratest.
_CHECKOUT = Path(__file__).resolve().parent.parent.parent


class LibraryNotFoundError(OSError):
    """No NivoraTest library could be loaded; ``tried`` lists the attempts."""

    def __init__(self, tried):
        self.tried = list(tried)
        lines = "\n".join(f"  {path}: {reason}" for path, reason in self.tried)
        super().__init__(
            f"cannot load the NivoraTest library ({LIBRARY_NAME}); tried:\n{lines}\n"
            "Build it (scripts/build.sh) or set NIVORATEST_LIBRARY to its path.")


def _candidates():
    """Paths to try, in search order (see the module text)."""
    env = os.environ.get("NIVORATEST_LIBRARY", "")
    if env:
        path = Path(env)
        return [path / LIBRARY_NAME if path.is_dir() else path]
    paths = []
    if (_CHECKOUT / "python" / "nivoratest").is_dir():
        build = os.environ.get("NVT_BUILD_DIR", "")
        if build:
            paths.append(Path(build) / "bin" / LIBRARY_NAME)
        paths.append(_CHECKOUT / "build" / "bin" / LIBRARY_NAME)
    # A bare name makes the system loader search its own path.
    paths.append(LIBRARY_NAME)
    return paths


# Prototypes of the exports: name -> (result type, argument types).
_u8, _u16, _u32, _i32 = ctypes.c_uint8, ctypes.c_uint16, ctypes.c_uint32, ctypes.c_int32
_p = ctypes.c_void_p
_s = ctypes.c_char_p
_pu8, _pu16, _pu32 = ctypes.POINTER(_u8), ctypes.POINTER(_u16), ctypes.POINTER(_u32)
_psize = ctypes.POINTER(ctypes.c_size_t)

PROTOTYPES = {
    "nvtOpen": (_i32, [_s, _s, ctypes.POINTER(_p)]),
    "nvtClose": (_i32, [_p]),
    "nvtGetVersion": (_i32, [_pu8, _pu8, _pu8, _pu8]),
    "nvtGetTransports": (_i32, [ctypes.c_char_p, ctypes.c_size_t, _psize, _psize]),
    "nvtGetLastError": (_s, [_p]),
    "nvtGetChipId": (_i32, [_p, _pu16]),
    "nvtLoadPtFirmware": (_i32, [_p, _s, _u8]),
    "nvtGetPtFwBuildInfo": (_i32, [_p, _s, _pu16, ctypes.c_char_p]),
    "nvtGetPtFwBuildId": (_i32, [_p, _s, _pu16]),
    "nvtGetPtFwCsVersion": (_i32, [_p, _s, _pu16]),
    "nvtGetPtFwApiVersion": (_i32, [_p, _pu32]),
    "nvtRadSetXtalTrim": (_i32, [_p, _u16]),
    "nvtRadCwStart": (_i32, [_p, _u8, _u16]),
    "nvtRadStop": (_i32, [_p]),
    "nvtRadTxStart": (_i32, [_p, _u8, _u8, _u8, _u16]),
    "nvtRadTxGetPkts": (_i32, [_p, _pu16]),
    "nvtRadRxStart": (_i32, [_p, _u8]),
    "nvtRadRxGetPkts": (_i32, [_p, _pu16]),
    "nvtPioAssign": (_i32, [_p, _u32, _u32]),
    "nvtPioGet": (_i32, [_p, _pu32, _pu32]),
    "nvtPioSet": (_i32, [_p, _u32, _u32]),
    "nvtLedSet": (_i32, [_p, _u32, _u8, _u16, _u8]),
    "nvtAioSet": (_i32, [_p, _u8, _u16]),
    "nvtAioGet": (_i32, [_p, _u8, _pu16]),
    "nvtUartLbTest": (_i32, [_p, _s, _u32]),
    "nvtCsCacheReadFromChip": (_i32, [_p, _u32, _u8]),
    "nvtCsCacheWriteToChip": (_i32, [_p, _u32, _u8]),
    "nvtCsCacheReadFromFile": (_i32, [_p, _s]),
    "nvtCsCacheWriteToFile": (_i32, [_p, _s]),
    "nvtCsCacheReadItem": (_i32, [_p, _s, _pu16, _pu16]),
    "nvtCsCacheWriteItem": (_i32, [_p, _s, _pu16, _pu16]),
    "nvtCsCacheGetVersion": (_i32, [_p, _pu16]),
    "nvtCsCacheFileMerge": (_i32, [_p, _s, _u32]),
}

_loaded = None
_loaded_path = None


def _declare(lib):
    for name, (restype, argtypes) in PROTOTYPES.items():
        function = getattr(lib, name)
        function.restype = restype
        function.argtypes = argtypes


def _resolved_path(lib, attempt):
    """The file the loader really mapped (a bare name resolves through the
    system path); falls back to what was asked for."""
    if not isinstance(attempt, str):
        return Path(attempt).resolve()
    try:
        with open("/proc/self/maps", encoding="utf-8", errors="replace") as maps:
            for line in maps:
                path = line.split(maxsplit=5)[-1].strip()
                if path.endswith("/" + LIBRARY_NAME):
                    return Path(path)
    except OSError:
        pass
    return Path(attempt)


def load():
    """Loads the library once and returns the ctypes object."""
    global _loaded, _loaded_path
    with lock:
        if _loaded is not None:
            return _loaded
        # 32-bit Windows exports use the standard call convention.
        loader = ctypes.WinDLL if sys.platform == "win32" else ctypes.CDLL
        tried = []
        for attempt in _candidates():
            if not isinstance(attempt, str) and not attempt.is_file():
                tried.append((str(attempt), "no such file"))
                continue
            try:
                lib = loader(str(attempt))
            except OSError as error:
                tried.append((str(attempt), str(error)))
                continue
            try:
                _declare(lib)
            except AttributeError as error:
                tried.append((str(attempt), f"not the NivoraTest library ({error})"))
                continue
            _loaded, _loaded_path = lib, _resolved_path(lib, attempt)
            return lib
        raise LibraryNotFoundError(tried)


def library_path():
    """Path of the loaded library file (loads it first)."""
    load()
    return _loaded_path
