#!/usr/bin/env python3
"""Writes the stand-in hyper bootloader, hyper_bootloader.bin, 35632 bytes.

The bytes are no program for any processor: a plain-text banner that says so,
then a fixed pseudo-random sequence (xorshift32, fixed seed), so that the
length field, the byte sum and every transfer path see realistic, non-repeating
data. The output is the same on every run and every machine.

Usage: make-hyper-payload.py [output path]   (default: next to this script)
"""
import os
import sys

SIZE = 35632
BANNER = (b"STAND-IN HYPER BOOTLOADER. NOT A PROGRAM: replace this file with the "
          b"box maker's hyper bootloader of the same size before updating real boxes.\n")


def payload():
    data = bytearray(BANNER)
    state = 0x2545F491
    while len(data) < SIZE:
        state ^= (state << 13) & 0xFFFFFFFF
        state ^= state >> 17
        state ^= (state << 5) & 0xFFFFFFFF
        data.append(state & 0xFF)
    return bytes(data[:SIZE])


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    path = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "hyper_bootloader.bin")
    with open(path, "wb") as out:
        out.write(payload())


if __name__ == "__main__":
    main()
