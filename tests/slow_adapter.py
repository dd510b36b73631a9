#!/usr/bin/env python3
"""A serial adapter that holds each reply back, as an FTDI adapter's latency
timer does: a new pseudo-terminal for the utility, whose bytes go on to PEER at
once, while what PEER sends comes back HOLD_MS later.

    slow_adapter.py PEER PATH_FILE HOLD_MS
"""
import os
import select
import sys
import time
import tty


def main():
    peer_path, path_file, hold = sys.argv[1], sys.argv[2], float(sys.argv[3]) / 1000
    peer = os.open(peer_path, os.O_RDWR | os.O_NOCTTY)  # raw already: the emulator made it so
    master, slave = os.openpty()  # the slave stays open, so the utility's closes hang nothing up
    tty.setraw(slave)
    with open(path_file + ".tmp", "w") as f:
        f.write(os.ttyname(slave) + "\n")
    os.rename(path_file + ".tmp", path_file)
    held = []  # (due, bytes), oldest first
    while True:
        timeout = max(0.0, held[0][0] - time.monotonic()) if held else None
        ready, _, _ = select.select([master, peer], [], [], timeout)
        if master in ready:
            os.write(peer, os.read(master, 4096))
        if peer in ready:
            held.append((time.monotonic() + hold, os.read(peer, 4096)))
        while held and held[0][0] <= time.monotonic():
            os.write(master, held.pop(0)[1])


main()
