#!/usr/bin/env python3
"""A whole production sequence on one device under test, step by step.

    python3 python/examples/production.py [--transport T] [--keydb PATH]
                                          [--firmware XBV] [--uart PORT]

1. Open the DUT and read its chip id.
2. Read the CS image from the EEPROM (a blank chip gets a new image with
   every key at its default), write the next Bluetooth address and the
   crystal trim key, write the CS back and read it back.
3. Load the production-test firmware with the CS keys.
4. Radio: crystal trim, carrier on and off, a TX burst that must end within
   a number of counter reads, an RX count that must reach a minimum.
5. I/O: PIO set and read back through a mask, LED, AIO set and read back
   within a tolerance, and the UART loopback.

It prints one line per step and ends with RESULT: PASS (exit 0) or
RESULT: FAIL (exit 1).

Where things come from: the library as the package finds it
(NIVORATEST_LIBRARY, else this checkout's build/bin, else the system path);
the key database from --keydb, else as nivoratest.default_keydb() says
(cskey_db.xml beside the library in a build). On the simulated DUT (the
default transport "sim") the firmware and the blank-chip image are built in
a temporary folder by the fixture builders beside the library (xbvgen,
nvimagegen), and the UART port is the simulated chip's serial line. With
"sim:nvm=DIR" the chip keeps its EEPROM in DIR, so the next run continues
from the address this one wrote.
"""

import argparse
import os
import sys
import tempfile
import time

# Run from a checkout without installing: the package is in ../nivoratest.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir))

import nivoratest  # noqa: E402
from nivoratest import NVM, sim  # noqa: E402

XTAL_TRIM = 32
CHANNEL = 19
CARRIER_MHZ = 2440
TX_LENGTH, TX_PAYLOAD, TX_PACKETS, TX_MAX_READS = 37, 0, 100, 50
RX_MIN_PACKETS = 5
PIO_MASK, PIO_LEVELS = 0x000000FF, 0x000000A5
AIO_CHANNEL, AIO_VALUE, AIO_TOLERANCE = 1, 512, 4
UART_BAUD = 115200


class Steps:
    """Runs steps, prints one line each, remembers whether any failed."""

    def __init__(self):
        self.failed = False

    def run(self, name, action, low=None, high=None, unit="", expect=None):
        """Runs action(); its value must lie within [low, high], or equal
        expect, when given. Returns the value, or None when the step failed."""
        start = time.perf_counter()
        try:
            value = action()
        except (nivoratest.NvtError, OSError, ValueError) as error:
            self.fail(name, error, start)
            return None
        inside = (low is None or value >= low) and (high is None or value <= high)
        if expect is not None:
            inside = inside and value == expect
        limits = ""
        if low is not None or high is not None:
            limits = f"  [{'' if low is None else low}..{'' if high is None else high}]"
        text = f"{value}{' ' + unit if unit else ''}{limits}"
        self._line("PASS" if inside else "FAIL", name, text, start,
                   None if inside or expect is None else f"expected {expect}")
        return value if inside else None

    def fail(self, name, error, start=None):
        """A step that failed with an exception: its code and text."""
        detail = f"{int(error.code)}  {error.text}" if isinstance(error, nivoratest.NvtError) else str(error)
        self._line("FAIL", name, "", start or time.perf_counter(), detail)

    def note(self, name, text):
        print(f"NOTE {name:<24} {text}")

    def _line(self, verdict, name, text, start, error=None):
        ms = (time.perf_counter() - start) * 1000
        print(f"{verdict} {name:<24} {text:<40} {ms:8.1f} ms")
        if error:
            print(f"     {error}")
        if verdict == "FAIL":
            self.failed = True


def next_address(words):
    """The Bluetooth address with its LAP (low byte of word 0, word 1) one up."""
    lap = ((words[0] & 0xFF) << 16 | words[1]) + 1
    if lap > 0xFFFFFF:
        raise ValueError("the LAP range is used up")
    return [lap >> 16, lap & 0xFFFF, words[2], words[3]]


def address_text(words):
    return f"{words[3]:04x}:{words[2] & 0xFF:02x}:{words[0] & 0xFF:02x}{words[1]:04x}"


def cs_sequence(dut, steps, work, simulated):
    """CS read (or a new image), key writes, CS write and read-back."""
    fresh = False
    try:
        dut.cs_read_from_chip(NVM.EEPROM)
    except nivoratest.NvtCsError as error:
        if not simulated:
            steps.fail("read CS (eeprom)", error)
            return False
        steps.note("read CS (eeprom)", f"blank chip: {error.text}")
        image = sim.build_image(os.path.join(work, "blank.xuv"), keydb=dut.keydb)
        if steps.run("new CS image", lambda: dut.cs_read_from_file(image) or "defaults") is None:
            return False
        fresh = True
    if steps.run("CS version", dut.cs_version) is None:
        return False
    address = steps.run("read bd address", lambda: address_text(dut.cs_read_item("BLUETOOTH_ADDRESS")))
    address = address and steps.run("next bd address", lambda: next_address(dut.cs_read_item("BLUETOOTH_ADDRESS")))
    if address is None:
        return False
    steps.run("write bd address", lambda: dut.cs_write_item("BLUETOOTH_ADDRESS", address) or address_text(address))
    steps.run("write xtal trim key", lambda: dut.cs_write_item("CRYSTAL_TRIM", [XTAL_TRIM]) or XTAL_TRIM)
    # A new image goes to the chip whole; otherwise only its CS block.
    steps.run("write CS (eeprom)", lambda: dut.cs_write_to_chip(NVM.EEPROM, cs_only=not fresh)
              or ("whole image" if fresh else "CS block"))
    steps.run("read CS back", lambda: dut.cs_read_from_chip(NVM.EEPROM) or "done")
    steps.run("bd address read back", lambda: address_text(dut.cs_read_item("BLUETOOTH_ADDRESS")),
              expect=address_text(address))
    return not steps.failed


def tx_burst(dut):
    """Reads the TX counter until it reaches 0; returns the number of reads."""
    for reads in range(1, TX_MAX_READS + 1):
        if dut.tx_packets() == 0:
            return reads
    return TX_MAX_READS + 1


def production_sequence(dut, steps, uart):
    steps.run("xtal trim", lambda: dut.set_xtal_trim(XTAL_TRIM) or XTAL_TRIM)
    steps.run("carrier on", lambda: dut.carrier_start(CHANNEL, CARRIER_MHZ) or CARRIER_MHZ, unit="MHz")
    steps.run("carrier off", lambda: dut.radio_stop() or "stopped")
    if steps.run("tx start", lambda: dut.tx_start(CHANNEL, TX_LENGTH, TX_PAYLOAD, TX_PACKETS) or TX_PACKETS,
                 unit="packets") is not None:
        steps.run("tx burst", lambda: tx_burst(dut), low=1, high=TX_MAX_READS, unit="reads")
    if steps.run("rx start", lambda: dut.rx_start(CHANNEL) or CHANNEL) is not None:
        steps.run("rx packets", dut.rx_packets, low=RX_MIN_PACKETS, unit="packets")
        steps.run("rx stop", lambda: dut.radio_stop() or "stopped")

    steps.run("pio assign", lambda: dut.pio_assign(PIO_MASK, PIO_MASK) or f"{PIO_MASK:#010x}")
    steps.run("pio set", lambda: dut.pio_set(PIO_LEVELS, 0) or f"{PIO_LEVELS:#010x}")
    steps.run("pio read back", lambda: f"{dut.pio_get()[0] & PIO_MASK:#010x}", expect=f"{PIO_LEVELS:#010x}")
    steps.run("led set", lambda: dut.led_set(1, 2, 500, 80) or "led 1, mode 2, 80%")
    steps.run("aio set", lambda: dut.aio_set(AIO_CHANNEL, AIO_VALUE) or AIO_VALUE)
    steps.run("aio read back", lambda: dut.aio_get(AIO_CHANNEL),
              low=AIO_VALUE - AIO_TOLERANCE, high=AIO_VALUE + AIO_TOLERANCE)
    if uart is None:
        steps.note("uart loopback", "skipped: no serial port (give one with --uart)")
        return
    def loopback():
        port = uart()
        dut.uart_loopback(port, UART_BAUD)
        return f"{port} @ {UART_BAUD}"

    steps.run("uart loopback", loopback)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--transport", default="sim", help='transport string (default "sim")')
    parser.add_argument("--keydb", help="CS key database (default: nivoratest.default_keydb())")
    parser.add_argument("--firmware", help="production-test firmware (default on sim: one built for it)")
    parser.add_argument("--uart", help="serial port wired to the chip's UART (default on sim: the chip's)")
    args = parser.parse_args(argv)
    simulated = args.transport == "sim" or args.transport.startswith("sim:")
    if not simulated and not args.firmware:
        parser.error("--firmware is needed on a transport other than the simulated DUT")

    print(f"NivoraTest {nivoratest.version()} ({nivoratest.library_path()}), transport {args.transport!r}")
    steps = Steps()
    with tempfile.TemporaryDirectory(prefix="nvt-production-") as work:
        try:
            dut = nivoratest.Device(args.transport, keydb=args.keydb)
        except nivoratest.NvtError as error:
            steps.fail("open", error)
            print("RESULT: FAIL")
            return 1
        with dut:
            steps.run("open", lambda: "connected")
            steps.run("chip id", lambda: f"{dut.chip_id():#06x}")
            cs_keys = cs_sequence(dut, steps, work, simulated)
            firmware = args.firmware or sim.build_firmware(os.path.join(work, "ptest.xbv"))
            loaded = steps.run("load firmware", lambda: dut.load_firmware(firmware, load_cs_keys=cs_keys)
                               or ("with CS keys" if cs_keys else "without CS keys"))
            if loaded is not None:
                steps.run("build id text", dut.firmware_build_info)
                steps.run("build id", dut.firmware_build_id)
                steps.run("api version", lambda: f"{dut.firmware_api_version():#010x}")
                if cs_keys:
                    steps.run("firmware CS version", dut.firmware_cs_version, expect=dut.cs_version())
                if args.uart:
                    uart = lambda: args.uart  # noqa: E731
                elif simulated:
                    uart = lambda: sim.uart_port(dut, UART_BAUD)  # noqa: E731
                else:
                    uart = None
                production_sequence(dut, steps, uart)
    print("RESULT: FAIL" if steps.failed else "RESULT: PASS")
    return 1 if steps.failed else 0


if __name__ == "__main__":
    sys.exit(main())
