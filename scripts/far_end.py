#!/usr/bin/env python3
"""The controller's end of a stand-in serial line, for the checks (scripts/checks.sh), which
map its terminal side to the panel's port: COM1 under Wine, /dev/ttyS0 through the stand-in.

Opens a pseudo-terminal, prints the path of its terminal side on the first line of standard
output, then logs what arrives to the file named, one read a line: milliseconds since start,
then the bytes in hex, a space between. Once bytes arrive it logs the line settings the other side set.
On SIGUSR1 it closes the pseudo-terminal, as a cable pulled out, and says "closed" on standard
output. Ends on SIGTERM.
"""
import os
import select
import signal
import sys
import termios
import time
import tty

SPEEDS = {getattr(termios, f"B{b}"): b for b in (1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200)}


def settings(fd):
    iflag, oflag, cflag, lflag, ispeed, ospeed, cc = termios.tcgetattr(fd)
    bits = {termios.CS5: 5, termios.CS6: 6, termios.CS7: 7, termios.CS8: 8}[cflag & termios.CSIZE]
    parity = "N" if not cflag & termios.PARENB else ("O" if cflag & termios.PARODD else "E")
    stop = 2 if cflag & termios.CSTOPB else 1
    return f"{SPEEDS.get(ospeed, ospeed)} {bits}{parity}{stop}"


def main():
    log = open(sys.argv[1], "w", buffering=1)
    far, near = os.openpty()
    tty.setraw(near)
    # The near side stays open here too, so the far end never reads a hang-up between runs.
    print(os.ttyname(near), flush=True)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    pulled = []
    signal.signal(signal.SIGUSR1, lambda *_: pulled.append(True))
    start = time.monotonic()
    told = False
    while not pulled:
        ready, _, _ = select.select([far], [], [], 0.5)
        if not ready:
            continue
        data = os.read(far, 4096)
        if not told:
            log.write(f"settings {settings(near)}\n")
            told = True
        log.write(f"{(time.monotonic() - start) * 1000:.0f} {data.hex(' ')}\n")
    os.close(far)
    os.close(near)
    print("closed", flush=True)
    while True:
        signal.pause()


main()
