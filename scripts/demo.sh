#!/usr/bin/env bash
# Builds the program and the box emulator, then updates an emulated box the way
# a technician updates a real one: a generation 4 box takes a compressed image
# at the real speed of the line, and the image the box flashed is compared with
# the file.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target update boxsim

work=$(mktemp -d)
boxsim=""
trap 'if [ -n "$boxsim" ]; then kill "$boxsim" 2>/dev/null || true; fi; rm -rf "$work"' EXIT

# A 64 KiB image for boot loader 4.20 (type 4, image id 4.20), half zero bytes.
python3 - "$work/image.pad" <<'PY'
import random, struct, sys
random.seed(7)
payload = bytes(0 if random.random() < 0.5 else random.randrange(256) for _ in range(65536))
with open(sys.argv[1], "wb") as f:
    f.write(struct.pack(">I", len(payload)) + bytes([4]) + struct.pack(">I", 4 * 65536 + 20))
    f.write(payload + struct.pack(">I", sum(payload) & 0xFFFFFFFF))
PY

echo "\$ update -V"
build/src/update -V >"$work/listing.txt"
head -4 "$work/listing.txt"
echo "... ($(grep -c '^			' "$work/listing.txt") boot loader versions)"
echo
echo "\$ boxsim --bootloader 4.20 --link $work/com1 --image-out $work/flashed.bin &"
build/sim/boxsim --bootloader 4.20 --link "$work/com1" --image-out "$work/flashed.bin" --expect flashed --timeout 120 &
boxsim=$!
for _ in $(seq 200); do [ -e "$work/com1" ] && break; sleep 0.05; done

echo "\$ UPDATE_COM1=$work/com1 update image.pad"
# Only COM1 is used; the others point nowhere, never at a real device.
UPDATE_COM1="$work/com1" UPDATE_COM2="$work/none" UPDATE_COM3="$work/none" UPDATE_COM4="$work/none" \
  build/src/update "$work/image.pad"
wait "$boxsim"
cmp "$work/image.pad" "$work/flashed.bin" && echo "The box flashed the image byte for byte."
