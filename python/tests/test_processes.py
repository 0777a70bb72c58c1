"""The binding where Python programs live: threads that close a device under
a running call, processes forked while a call runs, process pools whose
workers cannot load the library, and Ctrl-C during a slow open."""

import concurrent.futures
import multiprocessing
import os
import subprocess
import sys
import threading
import time

import pytest

import nivoratest
from nivoratest import NVM, _library

INVALID_HANDLE_TEXT = "The NivoraTest handle is invalid (nvtOpen must be called first)."
NOT_LOADED = "Invalid sequence: Ptest firmware must be loaded"
# Every transport call of this DUT takes 0.3 s, its open one call.
SLOW = "sim:latency=300000"
# A blank chip's EEPROM read makes about 500 transport calls; at 2 ms each
# it runs for about a second.
SLOW_READ = "sim:latency=2000"

needs_fork = pytest.mark.skipif(not hasattr(os, "fork"), reason="no fork on this system")


@pytest.fixture
def quick_thread_switches():
    # The racing threads hand over the call lock at every switch of the
    # interpreter: switch often, so the races take little time.
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    yield
    sys.setswitchinterval(interval)


def test_close_racing_a_failing_call_never_mixes_error_and_text(quick_thread_switches):
    # The call fails with a sequence error while the device is open and
    # with an invalid-handle error once it is closed; never the one's code
    # with the other's text.
    expected = {(nivoratest.NvtSequenceError, NOT_LOADED), (nivoratest.NvtHandleError, INVALID_HANDLE_TEXT)}
    seen = set()
    for _ in range(200):
        dut = nivoratest.Device("sim")
        calling = threading.Event()

        def call():
            while True:
                try:
                    dut.radio_stop()
                except nivoratest.NvtError as error:
                    seen.add((type(error), error.text))
                    if isinstance(error, nivoratest.NvtHandleError):
                        return
                    calling.set()

        thread = threading.Thread(target=call)
        thread.start()
        calling.wait()
        dut.close()
        thread.join()
    assert seen <= expected


def in_a_call_elsewhere():
    """Waits until another thread holds the call lock (is inside a call)."""
    while _library._lock.acquire(blocking=False):
        _library._lock.release()


def run_slow_call(dut):
    def slow():
        with pytest.raises(nivoratest.NvtCsError):
            dut.cs_read_from_chip(NVM.EEPROM)  # about a second on SLOW_READ

    thread = threading.Thread(target=slow)
    thread.start()
    in_a_call_elsewhere()
    return thread


def fork_and_run(child, timeout=20):
    """Runs child() in a forked process; its exit code, or None when it hung."""
    process = multiprocessing.get_context("fork").Process(target=child)
    process.start()
    process.join(timeout)
    if process.exitcode is None:
        process.kill()
        process.join()
    return process.exitcode


@needs_fork
def test_fork_while_a_thread_is_in_a_call():
    with nivoratest.Device(SLOW_READ) as slow:
        def child():
            with nivoratest.Device("sim") as dut:
                assert dut.chip_id() == 0x4B2D
            # The parent's connection is refused here, and closing it
            # leaves the parent's handle alone.
            assert slow.closed
            try:
                slow.chip_id()
            except nivoratest.NvtHandleError as error:
                assert "forked" in error.text
            else:
                os._exit(3)
            slow.close()
            os._exit(0)

        thread = run_slow_call(slow)
        start = time.monotonic()
        assert fork_and_run(child) == 0
        # The fork waited for the running call, not longer.
        assert time.monotonic() - start < 10
        thread.join()
        assert slow.chip_id() == 0x4B2D and not slow.closed


@needs_fork
def test_fork_that_cannot_wait_for_a_call_refuses_the_library_in_the_child(monkeypatch):
    monkeypatch.setattr(_library, "FORK_WAIT_SECONDS", 0.01)
    with nivoratest.Device(SLOW_READ) as slow:
        def child():
            try:
                nivoratest.Device("sim")
            except nivoratest.NvtError as error:
                os._exit(0 if "cannot be used in this process" in error.text else 4)
            os._exit(5)

        thread = run_slow_call(slow)
        assert fork_and_run(child) == 0
        thread.join()


def test_pool_worker_without_the_library_reports_that_error(monkeypatch, tmp_path):
    missing = str(tmp_path / "libnone.so")
    monkeypatch.setenv("NIVORATEST_LIBRARY", missing)
    # A spawned worker loads the library anew; it finds none.
    context = multiprocessing.get_context("spawn")
    with context.Pool(1) as pool:
        with pytest.raises(nivoratest.LibraryNotFoundError) as caught:
            pool.apply_async(nivoratest.version).get(timeout=20)
    assert caught.value.tried == [(missing, "no such file")]
    with concurrent.futures.ProcessPoolExecutor(1, mp_context=context) as executor:
        with pytest.raises(nivoratest.LibraryNotFoundError, match="libnone.so: no such file"):
            executor.submit(nivoratest.version).result(timeout=20)


INTERRUPTED_OPEN = f"""
import linecache, os, signal, sys, threading
import nivoratest

def interrupt_the_open():
    main = threading.main_thread().ident
    while True:
        frame = sys._current_frames().get(main)
        if frame is not None and "nvtOpen(" in linecache.getline(frame.f_code.co_filename, frame.f_lineno):
            os.kill(os.getpid(), signal.SIGINT)
            return

nivoratest.version()
threading.Thread(target=interrupt_the_open).start()
try:
    nivoratest.Device("{SLOW}")
except KeyboardInterrupt:
    print("interrupted")
devices = [nivoratest.Device("sim") for _ in range(100)]
print(len(devices), "opened")
"""


def test_interrupted_slow_open_leaves_every_handle_available(env_python):
    done = subprocess.run([sys.executable, "-c", INTERRUPTED_OPEN], env=env_python,
                          capture_output=True, text=True, timeout=60)
    assert done.stdout.split("\n")[:2] == ["interrupted", "100 opened"], done.stderr
