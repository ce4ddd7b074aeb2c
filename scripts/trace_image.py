#!/usr/bin/env python3
# The image of a trace's recipe (tests/traces/NAME.image: "payload N seed S
# type T id I"), byte for byte as the tests' e2e::paddedImage(e2e::samplePayload(N,
# S), T, I) makes it: a padded image whose payload is about half zero bytes.
#   scripts/trace_image.py RECIPE OUTPUT
import struct
import sys

words = open(sys.argv[1]).read().split()
recipe = dict(zip(words[0::2], words[1::2]))
size, seed = int(recipe["payload"]), int(recipe["seed"])
state = (seed * 2654435761 + 1) & 0xFFFFFFFF
payload = bytearray(size)
for i in range(size):
    state = (state * 1103515245 + 12345) & 0xFFFFFFFF
    payload[i] = 0 if (state >> 16) % 2 == 0 else state >> 24
header = struct.pack(">I", size)
if recipe["type"] != "-":
    header += struct.pack(">B", int(recipe["type"]))
    if recipe["id"] != "-":
        header += struct.pack(">I", int(recipe["id"], 16))
with open(sys.argv[2], "wb") as f:
    f.write(header + payload + struct.pack(">I", sum(payload) & 0xFFFFFFFF))
