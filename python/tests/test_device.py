"""The binding over the simulated DUT: opening and closing, the exceptions of
each result family with the library's texts, the argument checks that keep
bad values away from the library, and the values the calls return."""

import copy
import gc
import pickle
import subprocess
import sys
import threading

import pytest

import nivoratest
from nivoratest import NVM, Result, sim

INVALID_HANDLE_TEXT = "The NivoraTest handle is invalid (nvtOpen must be called first)."
NOT_LOADED = "Invalid sequence: Ptest firmware must be loaded"


def test_version_and_transports():
    assert nivoratest.version() == (1, 3, 0, 68)
    assert str(nivoratest.version()) == "1.3.0.68"
    assert "sim" in nivoratest.transports()


class TestOpenAndClose:
    @pytest.mark.parametrize("transport, cls, code, text", [
        ("bogus", nivoratest.NvtDeviceError, Result.ERR_CONNECTION, "Failed to connect to device (unknown transport"),
        ("sim:present=0", nivoratest.NvtDeviceError, Result.ERR_CONNECTION, "Failed to connect to device ("),
        ("sim:chip=28,id1=0x1234", nivoratest.NvtDeviceError, Result.ERR_UNSUPPORTED_DEVICE,
         'Unsupported device (ID = 0x00001234, type = "Corlan (wir)")'),
    ])
    def test_failed_open_raises_with_the_library_text(self, transport, cls, code, text):
        with pytest.raises(cls) as caught:
            nivoratest.Device(transport)
        assert caught.value.code is code
        assert caught.value.text.startswith(text)
        assert caught.value.function == "nvtOpen"

    def test_missing_key_database_fails_the_open(self, tmp_path):
        with pytest.raises(nivoratest.NvtCsError) as caught:
            nivoratest.Device("sim", keydb=tmp_path / "none.xml")
        assert caught.value.code is Result.ERR_CS_GENERAL
        assert caught.value.text.startswith("Error loading CS key XML database (")

    def test_failed_and_dropped_opens_leave_no_handle_behind(self):
        # The library holds at most 100 handles: a leak would show here.
        for _ in range(120):
            with pytest.raises(nivoratest.NvtDeviceError):
                nivoratest.Device("sim:present=0")
        for _ in range(120):
            nivoratest.Device("sim")  # dropped at once, closed by the collector
        gc.collect()
        with nivoratest.Device("sim") as dut:
            assert dut.chip_id() == 0x4B2D

    def test_closed_handle_raises_the_invalid_handle_text(self):
        with nivoratest.Device("sim") as dut:
            pass
        assert dut.closed
        dut.close()  # a second close does nothing
        for call in (dut.chip_id, dut.radio_stop, dut.cs_version, lambda: dut.cs_read_item("CRYSTAL_TRIM")):
            with pytest.raises(nivoratest.NvtHandleError) as caught:
                call()
            assert caught.value.code is Result.ERR_INVALID_HANDLE
            assert caught.value.text == INVALID_HANDLE_TEXT

    def test_closed_device_never_reaches_a_later_handle(self):
        first = nivoratest.Device("sim")
        first.close()
        with nivoratest.Device("sim:id2=0x1111") as second:
            # The new handle may sit at the old address; the closed object must
            # still refuse instead of talking to it.
            with pytest.raises(nivoratest.NvtHandleError):
                first.chip_id()
            assert second.chip_id() == 0x1111


class TestWrongState:
    @pytest.mark.parametrize("call", [
        'set_xtal_trim(64)', 'carrier_start(40, 1)', 'radio_stop()', 'tx_start(0, 0, 0, 1)',
        'tx_packets()', 'rx_start(0)', 'pio_assign(0, 0)', 'pio_set(0, 0)', 'pio_get()',
        'led_set(0, 4, 0, 101)', 'aio_set(0, 0)', 'aio_get(0)', 'uart_loopback("none", 4800)',
        'firmware_api_version()', 'firmware_build_info()', 'firmware_build_id()',
    ])
    def test_test_calls_need_the_firmware(self, device, call):
        # The state is checked before the arguments, bad as some of them are.
        with pytest.raises(nivoratest.NvtSequenceError) as caught:
            eval("dut." + call, {"dut": device})
        assert caught.value.code is Result.ERR_SEQUENCE
        assert caught.value.text == NOT_LOADED

    def test_rx_counter_needs_a_running_reception(self, loaded):
        loaded.tx_start(1, 10, 0, 5)
        with pytest.raises(nivoratest.NvtSequenceError, match="RX must be started"):
            loaded.rx_packets()

    def test_chip_operation_drops_the_firmware(self, loaded, files):
        loaded.cs_read_from_file(files.image)
        loaded.cs_write_to_chip(NVM.EEPROM)
        with pytest.raises(nivoratest.NvtSequenceError, match=NOT_LOADED):
            loaded.radio_stop()


class TestLibraryRefusesArguments:
    @pytest.mark.parametrize("call, text", [
        ('set_xtal_trim(64)', "Xtal trim value must be between 0 and 63 inclusive"),
        ('carrier_start(40, 2440)', "Channel value must be between 0 and 39 inclusive"),
        ('carrier_start(1, 2401)', "Frequency (MHz) value must be 0, or between 2402 and 2480 inclusive"),
        ('tx_start(1, 38, 0, 1)', "TX length (bytes) value must be between 0 and 37 inclusive"),
        ('led_set(1, 4, 0, 50)', "LED mode value must be between 0 and 3 inclusive"),
        ('led_set(1, 3, 0, 101)', "LED brightness value must be between 0 and 100 inclusive"),
        ('uart_loopback("ttyS0", 4800)', "UART baud rate is not supported"),
    ])
    def test_range_refusals(self, loaded, call, text):
        with pytest.raises(nivoratest.NvtParameterError) as caught:
            eval("dut." + call, {"dut": loaded})
        assert caught.value.code is Result.ERR_INVALID_PARAM
        assert caught.value.text == text
        assert text in str(caught.value)

    def test_nvm_type_counts_its_low_8_bits(self, device):
        with pytest.raises(nivoratest.NvtParameterError, match="Unsupported NVM type"):
            device.cs_read_from_chip(3)
        # 257 is EEPROM to the library: the blank EEPROM is read, and refused.
        with pytest.raises(nivoratest.NvtCsError, match="empty or image is invalid"):
            device.cs_read_from_chip(257)


class TestArgumentsCheckedBeforeTheLibrary:
    # Each call is written as the expression a test engineer would type.
    @pytest.mark.parametrize("call, error", [
        ('carrier_start(256, 2440)', ValueError),   # ctypes would send channel 0
        ('carrier_start(-1, 2440)', ValueError),
        ('set_xtal_trim(1 << 16)', ValueError),
        ('tx_start(0, 0, 0, 1 << 16)', ValueError),
        ('pio_set(1 << 32, 0)', ValueError),
        ('pio_assign(0, 1 << 200)', ValueError),
        ('led_set(0, 0, 0, 256)', ValueError),
        ('aio_get(300)', ValueError),
        ('uart_loopback("x", 1 << 32)', ValueError),
        ('cs_read_from_chip(-1)', ValueError),
        ('cs_file_merge("x.keyr", 1 << 32)', ValueError),
        ('load_firmware("x.xbv", load_cs_keys=256)', ValueError),
        ('cs_write_item("CRYSTAL_TRIM", [1 << 16])', ValueError),
        ('cs_write_item("CRYSTAL_TRIM", [0] * (1 << 16))', ValueError),
        ('load_firmware("a\\0b")', ValueError),
        ('cs_read_item("CRYSTAL\\0TRIM")', ValueError),
        ('set_xtal_trim(1.5)', TypeError),
        ('set_xtal_trim("3")', TypeError),
        ('load_firmware(None)', TypeError),
        ('cs_read_item(7)', TypeError),
        ('cs_write_item("CRYSTAL_TRIM", "12")', TypeError),
    ])
    def test_bad_python_values_never_reach_the_library(self, loaded, call, error):
        with pytest.raises(nivoratest.NvtParameterError):
            loaded.set_xtal_trim(99)  # a known last text
        with pytest.raises(error):
            eval("dut." + call, {"dut": loaded})
        assert loaded.last_error == "Xtal trim value must be between 0 and 63 inclusive"

    def test_open_arguments(self):
        with pytest.raises(TypeError):
            nivoratest.Device(None)
        with pytest.raises(ValueError):
            nivoratest.Device("sim\0x")


def test_reads_of_any_length_leave_the_last_error_alone(loaded, tmp_path, files):
    with pytest.raises(nivoratest.NvtParameterError):
        loaded.set_xtal_trim(99)
    loaded.cs_read_from_file(files.image)
    assert len(loaded.cs_read_item("DEVICE_NAME")) == 16
    text = "long build text " * 12
    assert loaded.firmware_build_info(sim.build_firmware(tmp_path / "long.xbv", build_text=text)) == text
    assert loaded.last_error == "Xtal trim value must be between 0 and 63 inclusive"


class TestFirmware:
    def test_file_queries_need_no_firmware(self, device, files):
        assert device.firmware_build_id(files.firmware) == sim.BUILD_ID
        assert device.firmware_cs_version(files.firmware) == sim.CS_VERSION
        assert device.firmware_build_info(files.firmware) == "ptest 2.3.1 build 2603"

    def test_long_build_text_grows_the_buffer(self, device, tmp_path):
        text = "long build text " * 12
        path = sim.build_firmware(tmp_path / "long.xbv", build_text=text)
        assert device.firmware_build_info(path) == text
        device.load_firmware(path)
        assert device.firmware_build_info() == text

    def test_loaded_firmware_reports_itself(self, loaded):
        assert loaded.firmware_build_id() == sim.BUILD_ID
        assert loaded.firmware_api_version() == 0x00020001

    def test_missing_file(self, device, tmp_path):
        with pytest.raises(nivoratest.NvtFirmwareError) as caught:
            device.load_firmware(tmp_path / "none.xbv")
        assert caught.value.code is Result.ERR_FW_FILE
        assert caught.value.text.startswith("Error reading XBV file (Couldn't open ")

    def test_firmware_answer_maps_to_its_family(self, files):
        with nivoratest.Device("sim:fwfault=answer:0x0303:0x8001") as dut:
            dut.load_firmware(files.firmware)
            with pytest.raises(nivoratest.NvtParameterError) as caught:
                dut.set_xtal_trim(10)
            assert caught.value.text == "Invalid parameter for command 0x0303"


class TestTests:
    def test_radio_counters(self, loaded):
        loaded.set_xtal_trim(63)
        loaded.carrier_start(0, 0)
        loaded.tx_start(19, 37, 7, 100)
        assert [loaded.tx_packets() for _ in range(4)] == [75, 50, 25, 0]
        loaded.rx_start(39)
        assert [loaded.rx_packets() for _ in range(3)] == [7, 14, 21]
        loaded.radio_stop()

    def test_io_reads_back(self, loaded):
        loaded.pio_assign(0xFFFFFFFF, 0)
        loaded.pio_set(0x80000001, 0x12345678)
        assert loaded.pio_get() == (0x80000001, 0x12345678)
        loaded.aio_set(255, 0xFFFF)
        assert loaded.aio_get(255) == 0xFFFF
        loaded.led_set(0xFFFFFFFF, 3, 0xFFFF, 100)

    def test_uart_loopback(self, loaded):
        loaded.uart_loopback(sim.uart_port(loaded), 115200)

    def test_uart_without_echo_is_a_failed_test(self, files):
        with nivoratest.Device("sim:uart=garble") as dut:
            dut.load_firmware(files.firmware)
            with pytest.raises(nivoratest.NvtTestFailedError) as caught:
                dut.uart_loopback(sim.uart_port(dut), 115200)
            assert caught.value.text == "UART loopback test failed (expected data was not received)"


class TestConfigurationStore:
    def test_nothing_cached(self, device):
        with pytest.raises(nivoratest.NvtCsError) as caught:
            device.cs_version()
        assert caught.value.code is Result.ERR_CS_NOT_INIT

    def test_keys_read_and_write(self, cached):
        assert cached.cs_version() == sim.CS_VERSION
        assert cached.cs_read_item("bluetooth_address") == [0, 23296, 2, 91]
        name = cached.cs_read_item("DEVICE_NAME")  # 16 words: longer than the first buffer
        assert len(name) == 16 and bytes(name[:10]) == b"Nivora DUT"
        cached.cs_write_item("DEVICE_NAME", list(range(16)))
        assert cached.cs_read_item("DEVICE_NAME") == list(range(16))

    @pytest.mark.parametrize("name, values, cls, text", [
        ("CRYSTAL_TRIM", [1, 2], nivoratest.NvtParameterError, "CS key length does not match (expected: 2, actual: 1)"),
        ("CRYSTAL_TRIM", [], nivoratest.NvtParameterError, "CS key length does not match (expected: 0, actual: 1)"),
        ("NO_SUCH_KEY", [1], nivoratest.NvtParameterError, 'Unknown CS KEY "NO_SUCH_KEY"'),
        ("CRYSTAL_TRIM", [128], nivoratest.NvtCsError, None),
    ])
    def test_refused_key_writes(self, cached, name, values, cls, text):
        with pytest.raises(cls) as caught:
            cached.cs_write_item(name, values)
        if text:
            assert caught.value.text == text
        assert cached.cs_read_item("CRYSTAL_TRIM") == [32]

    def test_unknown_key_read(self, cached):
        with pytest.raises(nivoratest.NvtParameterError, match='Unknown CS KEY "NOPE"'):
            cached.cs_read_item("NOPE")

    def test_file_round_trip_and_merge(self, cached, tmp_path):
        cached.cs_write_item("CRYSTAL_TRIM", [40])
        assert cached.cs_write_to_file(tmp_path / "keys.keyr") is None
        cached.cs_write_item("CRYSTAL_TRIM", [41])
        cached.cs_file_merge(tmp_path / "keys.keyr")
        assert cached.cs_read_item("CRYSTAL_TRIM") == [40]
        with pytest.raises(nivoratest.NvtParameterError, match="Can't merge firmware from KEYR file"):
            cached.cs_file_merge(tmp_path / "keys.keyr", merge_firmware=True)
        with pytest.raises(nivoratest.NvtParameterError, match=r"Invalid parameter\(s\)"):
            cached.cs_file_merge(tmp_path / "keys.keyr", 2)
        # Only the low 8 bits of the flag count: 256 is a key merge.
        cached.cs_write_item("CRYSTAL_TRIM", [42])
        cached.cs_file_merge(tmp_path / "keys.keyr", 256)
        assert cached.cs_read_item("CRYSTAL_TRIM") == [40]

    def test_chip_round_trip_and_cs_keys_into_the_firmware(self, cached, files):
        cached.cs_write_item("CRYSTAL_TRIM", [50])
        cached.cs_write_to_chip(NVM.SPI_FLASH)
        cached.cs_write_item("CRYSTAL_TRIM", [51])
        cached.cs_read_from_chip(NVM.SPI_FLASH)
        assert cached.cs_read_item("CRYSTAL_TRIM") == [50]
        cached.load_firmware(files.firmware, load_cs_keys=True)
        assert cached.firmware_cs_version() == sim.CS_VERSION


def test_threads_are_serialised(files):
    # The library takes no locks; the binding's lock keeps concurrent Python
    # threads from running it at once.
    failures = []

    def work(index):
        try:
            with nivoratest.Device(f"sim:id2={index + 1}") as dut:
                dut.load_firmware(files.firmware)
                for value in range(200):
                    dut.pio_set(value, index)
                    assert dut.pio_get() == (value, index)
                    assert dut.chip_id() == index + 1
        except Exception as error:  # reported below, on the main thread
            failures.append(error)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert failures == []


def exception_classes():
    return sorted((value for value in vars(nivoratest).values()
                   if isinstance(value, type) and issubclass(value, BaseException)), key=lambda c: c.__name__)


@pytest.mark.parametrize("cls", exception_classes(), ids=lambda c: c.__name__)
def test_every_exception_survives_pickle_and_copy(cls):
    # A process pool sends a worker's exception to its parent by pickle.
    if cls is nivoratest.LibraryNotFoundError:
        error = cls([("/lib/libnivoratest.so", "no such file")])
    elif issubclass(cls, nivoratest.NvtError):
        error = cls(-99, "a text", "nvtSomething")
    else:
        error = cls("a text")
    for twin in (pickle.loads(pickle.dumps(error)), copy.copy(error), copy.deepcopy(error)):
        assert type(twin) is cls
        assert str(twin) == str(error)
        assert vars(twin) == vars(error)


class TestFindingTheLibrary:
    def run(self, env, code):
        return subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True)

    def test_folder_in_the_variable(self, env_python):
        env_python["NIVORATEST_LIBRARY"] = str(nivoratest.library_path().parent)
        done = self.run(env_python, "import nivoratest; print(nivoratest.version())")
        assert done.stdout.strip() == "1.3.0.68", done.stderr

    def test_missing_library_lists_what_was_tried(self, env_python, tmp_path):
        env_python["NIVORATEST_LIBRARY"] = str(tmp_path / "libnone.so")
        done = self.run(env_python, "import nivoratest\n"
                                    "try:\n    nivoratest.version()\n"
                                    "except nivoratest.LibraryNotFoundError as e:\n    print(e)")
        assert "cannot load the NivoraTest library" in done.stdout, done.stderr
        assert str(tmp_path / "libnone.so") in done.stdout

    def test_library_of_another_version_is_passed_over(self, monkeypatch):
        monkeypatch.setattr(nivoratest._library, "_loaded", None)
        monkeypatch.setattr(nivoratest._library, "_version_of", lambda lib: (1, 2, 0, 9))
        with pytest.raises(nivoratest.LibraryNotFoundError) as caught:
            nivoratest.version()
        assert caught.value.tried[0][1] == "version 1.2.0.9, but this binding is written for 1.3.x"
