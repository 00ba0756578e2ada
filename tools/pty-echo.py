#!/usr/bin/env python3
"""The far end of a serial line for the contract tests under Wine.

Opens a pseudo-terminal, prints "device /dev/pts/N" and sends back every
byte that arrives, until killed or SECONDS (default 600) have passed.

    tools/pty-echo.py [SECONDS]
"""
import os
import select
import sys
import time
import tty


def main():
    try:
        seconds = float(sys.argv[1]) if len(sys.argv) > 1 else 600.0
    except ValueError:
        print("pty-echo.py: SECONDS: '%s' is not a number" % sys.argv[1], file=sys.stderr)
        return 2
    master, slave = os.openpty()
    tty.setraw(slave)  # raw until the program on the line sets it up
    print("device", os.ttyname(slave), flush=True)
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        ready, _, _ = select.select([master], [], [], 0.2)
        if not ready:
            continue
        try:
            data = os.read(master, 4096)
        except OSError:
            continue
        while data:
            data = data[os.write(master, data):]
    return 0


if __name__ == "__main__":
    sys.exit(main())
