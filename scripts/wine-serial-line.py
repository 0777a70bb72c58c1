#!/usr/bin/env python3
"""A serial line between two COM ports of a Wine prefix.

Makes two pseudo-terminals, links them into the prefix as COM ports (Wine
maps COMn to the device that dosdevices/comn points to) and carries every
byte written to one to the other, as a null-modem cable would. The test
library opens the first port as the PC's serial port; the simulated chip
opens the second as its UART.

Both terminal sides stay open here as well, so that a program closing its
port never hangs the line up. Runs until it is sent SIGTERM or SIGINT.

usage: wine-serial-line.py PREFIX PC_PORT CHIP_PORT   (e.g. ... com8 com9)
"""
import os
import select
import signal
import sys
import tty


def make_terminal():
    master, slave = os.openpty()
    tty.setraw(slave)
    return master, slave, os.ttyname(slave)


def link(prefix, port, device):
    path = os.path.join(prefix, "dosdevices", port.lower())
    tmp = path + ".new"
    if os.path.lexists(tmp):
        os.unlink(tmp)
    os.symlink(device, tmp)
    os.replace(tmp, path)


def main():
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    prefix, pc_port, chip_port = sys.argv[1:]
    pc_master, pc_slave, pc_device = make_terminal()
    chip_master, chip_slave, chip_device = make_terminal()
    link(prefix, pc_port, pc_device)
    link(prefix, chip_port, chip_device)
    print(f"{pc_port}={pc_device} {chip_port}={chip_device}", flush=True)

    running = True

    def stop(*_):
        nonlocal running
        running = False

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    peer = {pc_master: chip_master, chip_master: pc_master}
    while running:
        try:
            ready, _, _ = select.select(list(peer), [], [], 0.5)
        except InterruptedError:
            continue
        for fd in ready:
            try:
                data = os.read(fd, 4096)
            except OSError:
                continue
            if data:
                os.write(peer[fd], data)
    for fd in (pc_master, pc_slave, chip_master, chip_slave):
        os.close(fd)


if __name__ == "__main__":
    main()
