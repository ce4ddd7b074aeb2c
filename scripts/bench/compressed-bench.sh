#!/usr/bin/env bash
# Compressed download figures: libbzip2 time for a 1.9 MB image (the
# program's block size 1), and a whole generation 4 update of a 512 KiB image
# at the real pace of 115200 baud against boxsim, set beside the line's
# capacity and the dialogue's fixed pauses.
#
# Usage: scripts/bench/compressed-bench.sh [build-dir]   (default: build)
# The program only ever sees a pseudo-terminal: COM1 is boxsim's link, COM2
# to COM4 point at missing paths.
set -euo pipefail

build=${1:-build}
update=$build/src/update
boxsim=$build/sim/boxsim
for tool in "$update" "$boxsim"; do
    [[ -x $tool ]] || { echo "missing $tool (build first)" >&2; exit 2; }
done
command -v python3 >/dev/null || { echo "needs python3" >&2; exit 2; }

work=$(mktemp -d)
trap 'kill "${boxsim_pid:-}" 2>/dev/null || true; rm -rf "$work"' EXIT

# A padded image of type 4 for box 4.2: half the bytes zero, the rest spread.
make_image() {  # payload-bytes file
    python3 - "$1" "$2" <<'PY'
import struct, sys
n, path = int(sys.argv[1]), sys.argv[2]
state, out = 12345, bytearray(n)
for i in range(n):
    state = (state * 1103515245 + 12345) & 0xFFFFFFFF
    out[i] = 0 if (state >> 16) & 1 == 0 else state >> 24
with open(path, "wb") as f:
    f.write(struct.pack(">IBI", n, 4, 0x40002) + out + struct.pack(">I", sum(out) & 0xFFFFFFFF))
PY
}

now() { date +%s.%N; }
seconds() { python3 -c "print(f'{$2 - $1:.3f}')"; }

session() {  # label boxsim-args... -- update-args...
    local label=$1; shift
    local box_args=()
    while [[ $1 != -- ]]; do box_args+=("$1"); shift; done; shift
    rm -f "$work/com1"
    "$boxsim" --link "$work/com1" --bootloader 4.2 --expect flashed --frame-out "$work/frame" \
        --image-out "$work/flashed" "${box_args[@]}" >"$work/boxsim.out" 2>&1 &
    boxsim_pid=$!
    for _ in $(seq 50); do [[ -e $work/com1 ]] && break; sleep 0.1; done
    local start end
    start=$(now)
    UPDATE_COM1=$work/com1 UPDATE_COM2=$work/none2 UPDATE_COM3=$work/none3 UPDATE_COM4=$work/none4 \
        "$update" "$@" >"$work/update.out" 2>"$work/update.err" || { cat "$work/update.err" >&2; exit 1; }
    end=$(now)
    wait "$boxsim_pid"; boxsim_pid=
    cmp -s "$work/flashed" "${@: -1}" || { echo "$label: the box flashed other bytes" >&2; exit 1; }
    elapsed=$(seconds "$start" "$end")
    echo "$label: whole run ${elapsed} s; $(cat "$work/boxsim.out")"
}

echo "== compression of a 1.9 MB image"
make_image 1900544 "$work/big.pad"
start=$(now); bzip2 -1 -c "$work/big.pad" >"$work/big.bz2"; end=$(now)
echo "bzip2 -1 (libbzip2, blocks of 100 000 bytes, work factor 30): $(seconds "$start" "$end") s," \
     "$(stat -c %s "$work/big.pad") -> $(stat -c %s "$work/big.bz2") bytes"
session "1.9 MB, full speed (compression + pauses)" --full-speed --programming-ms 0 -- "$work/big.pad"

echo
echo "== generation 4 update of a 512 KiB image at 115200 baud"
make_image 524288 "$work/half.pad"
programming_ms=2000
session "512 KiB, real pace" --programming-ms "$programming_ms" -- "$work/half.pad"
frame=$(stat -c %s "$work/frame")
python3 - "$frame" "$elapsed" "$programming_ms" <<'PY'
import sys
frame, elapsed, programming = int(sys.argv[1]), float(sys.argv[2]), int(sys.argv[3]) / 1000
line = frame * 10 / 115200
# 300 ms after opening the port, 300 before and 500 after the switch to
# 115200, 500 before the key "7", 500 after "file:".
pauses = 0.3 + 0.3 + 0.5 + 0.5 + 0.5
print(f"frame {frame} bytes: {line:.3f} s on the line at 115200 baud (10 bits a byte)")
print(f"fixed pauses of the program {pauses:.1f} s, box programming {programming:.1f} s")
print(f"sum {line + pauses + programming:.3f} s against {elapsed:.3f} s measured;"
      f" the rest ({elapsed - line - pauses - programming:.3f} s) is the wake-up, the box's replies and compression")
PY
