#!/usr/bin/env python3
"""Writes a stand-in for the adapter's firmware image.

Usage: make_firmware_placeholder.py OUT [SIZE]

The tool treats the image as opaque bytes and only its size shapes the
flashing sequence, so builds without the real image carry this instead:
SIZE bytes (default 257,536, the size of the real image) that look random
but are the same on every run and every machine, so that tests and
benchmarks in the native and the Windows build can compare against them.
"""

import hashlib
import os
import sys

DEFAULT_SIZE = 257536
SEED = b"Vantri4 Flash firmware placeholder"


def placeholder(size):
    out = bytearray()
    counter = 0
    while len(out) < size:
        out += hashlib.sha256(SEED + counter.to_bytes(4, "little")).digest()
        counter += 1
    return bytes(out[:size])


def main(argv):
    if len(argv) not in (2, 3):
        sys.stderr.write("usage: make_firmware_placeholder.py OUT [SIZE]\n")
        return 2
    size = int(argv[2]) if len(argv) == 3 else DEFAULT_SIZE
    partial = argv[1] + ".part"
    with open(partial, "wb") as f:
        f.write(placeholder(size))
    os.replace(partial, argv[1])
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
