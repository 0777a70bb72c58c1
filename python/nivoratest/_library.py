"""Finding and loading the NivoraTest shared library; the call lock and what
keeps it sound across fork and Ctrl-C.

The library is looked for, in this order:

1. ``NIVORATEST_LIBRARY``: the path of the library file, or a folder that
   holds it. When the variable is set nothing else is tried.
2. The build folder of the checkout this package sits in:
   ``$NVT_BUILD_DIR/bin`` when that variable is set, then ``build/bin``.
3. The system's library search path (``LD_LIBRARY_PATH``, the loader cache).

A file that loads but is not the library, or whose version does not match
:data:`EXPECTED_VERSION` (major and minor), is passed over with its reason.
When none fits, :class:`LibraryNotFoundError` lists every path tried.

The library takes no locks and keeps process-wide state, so every call goes
through :func:`locked`: two Python threads never run library code at once,
and the text of a failure is read before another call can replace it.

Fork: a child process gets a copy of the library's memory but only the
thread that forked. So a fork first waits for the call another thread may be
running (at most :data:`FORK_WAIT_SECONDS`), the child starts with a fresh
lock and a library no call was changing, and the child refuses the handles
the parent opened (their connections belong to the parent). When the wait
runs out, the child refuses the library altogether with a clear error
instead of hanging on a lock held by a thread it does not have.
"""

from __future__ import annotations

import ctypes
import os
import signal
import sys
import threading
from pathlib import Path
from types import FrameType
from typing import Any, Callable, Dict, Iterable, List, Optional, Tuple, Union

from .errors import NvtError, Result

__all__ = ["LibraryNotFoundError", "load", "library_path", "build_folders", "locked", "generation",
           "InterruptsDeferred", "EXPECTED_VERSION", "FORK_WAIT_SECONDS"]

#: Major and minor version of the library this binding is written for.
EXPECTED_VERSION = (1, 3)

#: How long a fork waits for a library call running in another thread. The
#: longest bounded call, a firmware answer, times out after 20 s.
FORK_WAIT_SECONDS = 25.0

if sys.platform == "win32":
    LIBRARY_NAME = "NivoraTest.dll"
elif sys.platform == "darwin":
    LIBRARY_NAME = "libnivoratest.dylib"
else:
    LIBRARY_NAME = "libnivoratest.so"

# The checkout's root when the package is imported from python/nivoratest.
_CHECKOUT = Path(__file__).resolve().parent.parent.parent


class LibraryNotFoundError(OSError):
    """No NivoraTest library could be loaded; ``tried`` lists the attempts as
    ``(path, reason)`` pairs."""

    def __init__(self, tried: Iterable[Tuple[str, str]]) -> None:
        self.tried = [(str(path), str(reason)) for path, reason in tried]
        lines = "\n".join(f"  {path}: {reason}" for path, reason in self.tried)
        super().__init__(
            f"cannot load the NivoraTest library ({LIBRARY_NAME}); tried:\n{lines}\n"
            "Build it (scripts/build.sh) or set NIVORATEST_LIBRARY to its path.")

    def __reduce__(self) -> Tuple[Any, ...]:
        # Rebuilt from the list, not the message: a process pool sends the
        # error of a worker to its parent this way.
        return (type(self), (self.tried,), self.__dict__)


def build_folders() -> List[Path]:
    """The program folders of the checkout this package sits in, in search
    order: ``$NVT_BUILD_DIR/bin``, then ``build/bin``; none for an installed
    package."""
    if not (_CHECKOUT / "python" / "nivoratest").is_dir():
        return []
    build = os.environ.get("NVT_BUILD_DIR", "")
    folders = [Path(build) / "bin"] if build else []
    return folders + [_CHECKOUT / "build" / "bin"]


def _candidates() -> List[Union[Path, str]]:
    """Paths to try, in search order (see the module text)."""
    env = os.environ.get("NIVORATEST_LIBRARY", "")
    if env:
        path = Path(env)
        return [path / LIBRARY_NAME if path.is_dir() else path]
    paths: List[Union[Path, str]] = [folder / LIBRARY_NAME for folder in build_folders()]
    # A bare name makes the system loader search its own path.
    paths.append(LIBRARY_NAME)
    return paths


# Prototypes of the exports: name -> (result type, argument types). They
# follow include/nivoratest.h; a CTest check compares the two.
_u8, _u16, _u32, _i32 = ctypes.c_uint8, ctypes.c_uint16, ctypes.c_uint32, ctypes.c_int32
_p = ctypes.c_void_p
_s = ctypes.c_char_p
_pu8, _pu16, _pu32 = ctypes.POINTER(_u8), ctypes.POINTER(_u16), ctypes.POINTER(_u32)
# uintptr_t: ctypes has no own name for it; size_t has its width everywhere.
_uptr = ctypes.c_size_t
_puptr = ctypes.POINTER(_uptr)

PROTOTYPES: Dict[str, Tuple[Any, List[Any]]] = {
    "nvtOpen": (_i32, [_s, _s, ctypes.POINTER(_p)]),
    "nvtClose": (_i32, [_p]),
    "nvtGetVersion": (_i32, [_pu8, _pu8, _pu8, _pu8]),
    "nvtGetTransports": (_i32, [_s, _uptr, _puptr, _puptr]),
    "nvtGetLastError": (_s, [_p]),
    "nvtGetChipId": (_i32, [_p, _pu16]),
    "nvtLoadPtFirmware": (_i32, [_p, _s, _u8]),
    "nvtGetPtFwBuildInfo": (_i32, [_p, _s, _pu16, _s]),
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

_loaded: Optional[ctypes.CDLL] = None
_loaded_path: Optional[Path] = None


def _declare(lib: ctypes.CDLL) -> None:
    for name, (restype, argtypes) in PROTOTYPES.items():
        function = getattr(lib, name)
        function.restype = restype
        function.argtypes = argtypes


def _version_of(lib: ctypes.CDLL) -> Tuple[int, int, int, int]:
    parts = [ctypes.c_uint8() for _ in range(4)]
    lib.nvtGetVersion(*(ctypes.byref(p) for p in parts))
    major, minor, release, build = (p.value for p in parts)
    return major, minor, release, build


def version_refusal(found: Tuple[int, ...]) -> Optional[str]:
    """Why a library of version ``found`` does not fit, or None when it does."""
    if tuple(found[:2]) == EXPECTED_VERSION:
        return None
    wanted = ".".join(str(part) for part in EXPECTED_VERSION)
    return (f"version {'.'.join(str(part) for part in found)}, "
            f"but this binding is written for {wanted}.x")


def _resolved_path(attempt: Union[Path, str]) -> Path:
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


def load() -> ctypes.CDLL:
    """Loads the library once and returns the ctypes object."""
    global _loaded, _loaded_path
    if _loaded is not None:
        return _loaded
    with locked():
        if _loaded is not None:
            return _loaded
        # 32-bit Windows exports use the standard call convention.
        loader: Callable[[str], ctypes.CDLL] = getattr(ctypes, "WinDLL", ctypes.CDLL) \
            if sys.platform == "win32" else ctypes.CDLL
        tried: List[Tuple[str, str]] = []
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
            refusal = version_refusal(_version_of(lib))
            if refusal:
                tried.append((str(attempt), refusal))
                continue
            _loaded, _loaded_path = lib, _resolved_path(attempt)
            return lib
        raise LibraryNotFoundError(tried)


def library_path() -> Path:
    """Path of the loaded library file (loads it first)."""
    load()
    assert _loaded_path is not None
    return _loaded_path


# ---------------------------------------------------------------------------
# The call lock and fork.

_lock = threading.RLock()
# Counts the forks this process descends from; a handle remembers the count
# it was opened under, so a child knows a handle of its parent.
_generation = 0
# Set in a child forked while a call ran that the fork could not wait for.
_unusable: Optional[str] = None
# Whether the fork in progress holds the lock (the forking thread's view).
_fork_holds_lock = False


class _Locked:
    """The context of :func:`locked` (a class: it runs around every call)."""

    __slots__ = ("_held",)

    def __enter__(self) -> None:
        lock = _lock
        lock.acquire()
        if _unusable:
            lock.release()
            raise NvtError(Result.ERR_GENERAL, _unusable)
        # Released as taken, even if a fork replaced the module's lock since.
        self._held = lock

    def __exit__(self, *exc: object) -> None:
        self._held.release()


def locked() -> _Locked:
    """Holds the call lock; refuses when the library is unusable here."""
    return _Locked()


def generation() -> int:
    """The fork count of this process (see :data:`_generation`)."""
    return _generation


def _before_fork() -> None:
    global _fork_holds_lock
    _fork_holds_lock = _lock.acquire(timeout=FORK_WAIT_SECONDS)


def _after_fork_in_parent() -> None:
    global _fork_holds_lock
    if _fork_holds_lock:
        _fork_holds_lock = False
        _lock.release()


def _after_fork_in_child() -> None:
    global _lock, _generation, _unusable, _fork_holds_lock
    # The inherited lock may be held by a thread that does not exist here.
    _lock = threading.RLock()
    _generation += 1
    if not _fork_holds_lock and _unusable is None:
        _unusable = (
            "the NivoraTest library cannot be used in this process: it was forked while "
            f"another thread was inside a library call that did not end within {FORK_WAIT_SECONDS:g} s. "
            "Start worker processes with the 'spawn' or 'forkserver' method, or fork when no call runs")
    _fork_holds_lock = False


if hasattr(os, "register_at_fork"):
    os.register_at_fork(before=_before_fork, after_in_parent=_after_fork_in_parent,
                        after_in_child=_after_fork_in_child)


# ---------------------------------------------------------------------------
# Ctrl-C.

_Handler = Union[Callable[[int, Optional[FrameType]], Any], int, None]


class InterruptsDeferred:
    """Holds back Ctrl-C (SIGINT) while a call creates something the caller
    must get or see released: the Python handler of SIGINT runs when the
    block ends, so KeyboardInterrupt cannot fall between a call that opened
    a handle and the code that keeps it. ``pending`` tells the block that an
    interrupt came, so it can release what it made before leaving.

    Python runs signal handlers only in the main thread; elsewhere the block
    does nothing.
    """

    def __init__(self) -> None:
        self.pending: Optional[Tuple[int, Optional[FrameType]]] = None
        self._previous: _Handler = None
        self._active = False

    def _note(self, signum: int, frame: Optional[FrameType]) -> None:
        if self.pending is None:
            self.pending = (signum, frame)

    def __enter__(self) -> "InterruptsDeferred":
        if threading.current_thread() is threading.main_thread():
            try:
                self._previous = signal.getsignal(signal.SIGINT)
                # A Ctrl-C before this returns is handled as ever: nothing
                # is made yet. From its return on, _note takes it.
                signal.signal(signal.SIGINT, self._note)
                self._active = True
            except (ValueError, OSError):  # not the main interpreter
                pass
        return self

    def __exit__(self, *exc: object) -> None:
        if not self._active:
            return
        self._active = False
        previous = self._previous
        signal.signal(signal.SIGINT, previous)
        if self.pending is None:
            return
        signum, frame = self.pending
        self.pending = None
        if callable(previous):
            previous(signum, frame)  # the default handler raises KeyboardInterrupt
        elif previous == signal.SIG_DFL:
            os.kill(os.getpid(), signum)
