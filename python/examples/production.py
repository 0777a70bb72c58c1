#!/usr/bin/env python3
"""A whole production sequence on one device under test, step by step.

    python3 python/examples/production.py --db URL --serial S [--nap N] [--uap U]
                                          [--transport T] [--keydb PATH]
                                          [--firmware XBV] [--uart PORT]
                                          [--station-program PATH]

1. Open the DUT and read its chip id.
2. Read the CS image from the EEPROM (a blank chip gets a new image with
   every key at its default). Take the unit's Bluetooth address from the
   address store --db for its serial, write it and the crystal trim key,
   write the CS back and read it back; the store follows the address from
   reserved to written, verified and committed.
3. Load the production-test firmware with the CS keys.
4. Radio: crystal trim, carrier on and off, a TX burst that must end within
   a number of counter reads, an RX count that must reach a minimum.
5. I/O: PIO set and read back through a mask, LED, AIO set and read back
   within a tolerance, and the UART loopback.

It prints one line per step and ends with RESULT: PASS (exit 0) or
RESULT: FAIL (exit 1).

Addresses: a unit keeps the address the store has for its serial. A retest
of a programmed device writes that address again; a device that holds an
address of another serial, or one the store never gave out or scrapped, is
left as it is and fails. A run that fails before the address is verified
leaves it with the unit (reserved or written), so the next run of the same
serial takes it again. The store is made and given a range with the
station: station addresses add --db URL --nap 0x5B --uap 2 --first L --last L.

Where things come from: the library as the package finds it
(NIVORATEST_LIBRARY, else this checkout's build/bin, else the system path),
the station program beside it (or --station-program); the key database from
--keydb, else as nivoratest.default_keydb() says (cskey_db.xml beside the
library in a build). On the simulated DUT (the default transport "sim")
the firmware and the blank-chip image are built in a temporary folder by
the fixture builders beside the library (xbvgen, nvimagegen), and the UART
port is the simulated chip's serial line. With "sim:nvm=DIR" the chip keeps
its EEPROM in DIR, so a later run retests a programmed chip.
"""

import argparse
import os
import sys
import tempfile
import time

# Run from a checkout without installing: the package is in ../nivoratest.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir))

import nivoratest  # noqa: E402
from nivoratest import NVM, AddressStore, AddressStoreError, sim  # noqa: E402
from nivoratest.addresses import STATES, address_text  # noqa: E402

XTAL_TRIM = 32
CHANNEL = 19
CARRIER_MHZ = 2440
TX_LENGTH, TX_PAYLOAD, TX_PACKETS, TX_MAX_READS = 37, 0, 100, 50
RX_MIN_PACKETS = 5
PIO_MASK, PIO_LEVELS = 0x000000FF, 0x000000A5
AIO_CHANNEL, AIO_VALUE, AIO_TOLERANCE = 1, 512, 4
UART_BAUD = 115200
# The text with which the library reports an erased device.
BLANK_TEXT = "The device is empty or image is invalid, read 0xffff for words 0-2"


class Refused(Exception):
    """The device is not this unit's to program; it is left as it is."""


class Steps:
    """Runs steps, prints one line each, remembers whether any failed."""

    def __init__(self):
        self.failed = False

    def run(self, name, action, low=None, high=None, unit="", expect=None, show=str):
        """Runs action(); its value must lie within [low, high], or equal
        expect, when given; show(value) is the text printed. Returns the
        value, or None when the step failed."""
        start = time.perf_counter()
        try:
            value = action()
        except (nivoratest.NvtError, AddressStoreError, Refused, OSError, ValueError) as error:
            self.fail(name, error, start)
            return None
        inside = (low is None or value >= low) and (high is None or value <= high)
        if expect is not None:
            inside = inside and value == expect
        limits = ""
        if low is not None or high is not None:
            limits = f"  [{'' if low is None else low}..{'' if high is None else high}]"
        text = f"{show(value)}{' ' + unit if unit else ''}{limits}"
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


def device_address(dut, store, serial):
    """The address a programmed device holds, when the store has it for
    this unit; Refused otherwise (a station never believes the device)."""
    held = address_text(dut.cs_read_item("BLUETOOTH_ADDRESS"))
    record = store.show(address=held)
    if record is None:
        raise Refused(f"the device holds {held}, which the store never gave out; the device is left as it is")
    if record.serial != serial:
        owner = f"serial {record.serial}" if record.serial else "no serial"
        raise Refused(f"the device holds {held}, which belongs to {owner}, not to serial {serial}; "
                      "the device is left as it is")
    if record.state == "scrapped":
        raise Refused(f"the device holds {held}, which the store scrapped ({record.reason}); "
                      "the device is left as it is")
    return held


def advance(steps, store, unit, state, serial):
    """A step that marks the unit's address ``state`` in the store, unless
    it is there already (a retest keeps a committed address as it is).
    Returns the address's record, or None when the store refused."""
    if STATES.index(unit.state) >= STATES.index(state):
        return steps.run(f"address {state}", lambda: unit, show=lambda u: f"{u.state}, kept")
    return steps.run(f"address {state}", lambda: store.mark(unit.address, state, serial=serial),
                     show=lambda u: u.state)


def cs_sequence(dut, steps, work, simulated, store, serial, nap, uap):
    """CS read (or a new image), the unit's address from the store, key
    writes, CS write and read-back, the address marked at each stage."""
    fresh = False
    try:
        dut.cs_read_from_chip(NVM.EEPROM)
    except nivoratest.NvtCsError as error:
        if not simulated or error.text != BLANK_TEXT:
            # Unreadable is not blank: the device is left as it is.
            steps.fail("read CS (eeprom)", error)
            return False
        steps.note("read CS (eeprom)", f"blank chip: {error.text}")
        image = sim.build_image(os.path.join(work, "blank.xuv"), keydb=dut.keydb)
        if steps.run("new CS image", lambda: dut.cs_read_from_file(image) or "defaults") is None:
            return False
        fresh = True
    if steps.run("CS version", dut.cs_version) is None:
        return False
    held = None
    if not fresh:
        held = steps.run("address on device", lambda: device_address(dut, store, serial))
        if held is None:
            return False
    # Synced to the store's disk before it is returned: from here on the
    # address is the unit's, whatever fails next.
    unit = steps.run("take bd address", lambda: store.take(serial, nap, uap),
                     show=lambda u: f"{u.address} {u.state}{' (new)' if u.new else ''}")
    if unit is None:
        return False
    if held is not None and unit.address != held:
        steps.fail("take bd address", Refused(f"the store has {unit.address} for serial {serial}, "
                                              f"the device holds {held}; the device is left as it is"))
        return False
    steps.run("write bd address", lambda: dut.cs_write_item("BLUETOOTH_ADDRESS", unit.words) or unit.address)
    steps.run("write xtal trim key", lambda: dut.cs_write_item("CRYSTAL_TRIM", [XTAL_TRIM]) or XTAL_TRIM)
    if steps.failed:
        return False  # nothing written to the device; the address stays reserved for the unit
    # A new image goes to the chip whole; otherwise only its CS block.
    if steps.run("write CS (eeprom)", lambda: dut.cs_write_to_chip(NVM.EEPROM, cs_only=not fresh)
                 or ("whole image" if fresh else "CS block")) is None:
        return False
    unit = advance(steps, store, unit, "written", serial)
    if unit is None:
        return False
    steps.run("read CS back", lambda: dut.cs_read_from_chip(NVM.EEPROM) or "done")
    if steps.run("bd address read back", lambda: address_text(dut.cs_read_item("BLUETOOTH_ADDRESS")),
                 expect=unit.address) is None:
        return False
    unit = advance(steps, store, unit, "verified", serial)
    unit = unit and advance(steps, store, unit, "committed", serial)
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
    parser.add_argument("--db", required=True, help="address store: a SQLite file or a postgresql:// URL")
    parser.add_argument("--serial", required=True, help="the unit's serial; its address in the store is its own")
    parser.add_argument("--nap", type=lambda text: int(text, 0), default=0x005B,
                        help="NAP of the store's range to take a new address from (default 0x005B)")
    parser.add_argument("--uap", type=lambda text: int(text, 0), default=0x02,
                        help="UAP of that range (default 0x02)")
    parser.add_argument("--station-program", help="the station program (default: beside the library)")
    parser.add_argument("--transport", default="sim", help='transport string (default "sim")')
    parser.add_argument("--keydb", help="CS key database (default: nivoratest.default_keydb())")
    parser.add_argument("--firmware", help="production-test firmware (default on sim: one built for it)")
    parser.add_argument("--uart", help="serial port wired to the chip's UART (default on sim: the chip's)")
    args = parser.parse_args(argv)
    simulated = args.transport == "sim" or args.transport.startswith("sim:")
    if not simulated and not args.firmware:
        parser.error("--firmware is needed on a transport other than the simulated DUT")

    print(f"NivoraTest {nivoratest.version()} ({nivoratest.library_path()}), transport {args.transport!r}, "
          f"serial {args.serial!r}")
    steps = Steps()
    store = steps.run("address store", lambda: AddressStore(args.db, args.station_program),
                      show=lambda s: f"{s.db} ({s.program.name})")
    if store is None:
        print("RESULT: FAIL")
        return 1
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
            cs_keys = cs_sequence(dut, steps, work, simulated, store, args.serial, args.nap, args.uap)
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
