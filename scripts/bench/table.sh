#!/usr/bin/env bash
# One table of figures for each boot loader generation: a 512 KiB image (most
# bytes zero, the rest random, so packing and compression have work to do)
# sent at the real pace of 115200 baud (the generation 1 box wakes up at 38400)
# to boxsim. Per row: the image size, the PC's bytes on the line, the
# streaming time against the line's capacity (bytes x 10 / baud), the program's
# own fixed pauses, the whole update, and the processor time and peak resident
# memory of `update`.
#
# Targets: streaming at >= 98 % of the line's capacity; processor time < 2 %
# of the wall time; peak resident memory < 16 MiB.
#
# Usage: scripts/bench/table.sh [BUILD_DIR]   (default: build in the worktree)
# KEEP_WORK=1 keeps the scratch directory (dialogue logs, outputs).
if [[ -n ${1:-} ]]; then BUILD_DIR=$(cd "$1" && pwd); export BUILD_DIR; fi
source "$(dirname "$0")/common.sh"
[[ -x /usr/bin/time ]] || { echo "needs /usr/bin/time (scripts/install-deps.sh time)" >&2; exit 2; }

size=${IMAGE_BYTES:-524288}

# image FILE TYPE ID: a padded image of $size bytes in all; type 1 and 2
# carry no image id (1-byte header extension), the others type and id.
image() {
    python3 - "$1" "$size" "$2" "$3" <<'PY'
import random, struct, sys
path, size, image_type, image_id = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4], 16)
header = struct.pack(">B", image_type) if image_type in (1, 2) else struct.pack(">BI", image_type, image_id)
n = size - 8 - len(header)
rng = random.Random(512)
# Two bytes in three zero, the rest any value: an image's erased areas and code.
payload = bytes(0 if rng.random() < 2 / 3 else rng.randrange(256) for _ in range(n))
with open(path, "wb") as f:
    f.write(struct.pack(">I", n) + header + payload + struct.pack(">I", sum(payload) & 0xFFFFFFFF))
PY
}

# row LABEL PAUSES_MS TYPE ID BOXSIM-ARGS...: one update, one line of the table.
row() {
    local label=$1 pauses=$2 type=$3 id=$4
    shift 4
    rm -f "$work/com1" "$work/dialogue.log" "$work/flashed.bin"
    image "$work/image.pad" "$type" "$id"
    start_boxsim --expect flashed --timeout 300 "$@"
    (cd "$work" && env UPDATE_COM1="$work/com1" UPDATE_COM2="$work/missing2" UPDATE_COM3="$work/missing3" \
        UPDATE_COM4="$work/missing4" /usr/bin/time -f '%e %U %S %M' -o "$work/time.txt" \
        "$update_program" image.pad >"$work/update.out" 2>"$work/update.err") ||
        { echo "$label: update failed: $(cat "$work/update.err")" >&2; exit 1; }
    wait_boxsim || { echo "$label: boxsim: $(cat "$work/boxsim.out")" >&2; exit 1; }
    cmp -s "$work/image.pad" "$work/flashed.bin" || { echo "$label: the box flashed other bytes" >&2; exit 1; }
    python3 - "$label" "$work/dialogue.log" "$size" "$pauses" $(cat "$work/time.txt") <<'PY'
import re, sys
label, log, size, pauses = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4]) / 1000
elapsed, user, system, peak_kib = float(sys.argv[5]), float(sys.argv[6]), float(sys.argv[7]), int(sys.argv[8])
line_re = re.compile(r'^\s*([0-9.]+)\s+PC>box\s+([0-9]+)\s+"(.*)"(?:\s+\.\.\.\s+\(([0-9]+) bytes\))?')
escape = re.compile(r'\\x[0-9A-Fa-f]{2}|\\.|.', re.S)
chunks = []  # (time, baud, bytes)
for text in open(log, encoding="utf-8", errors="replace"):
    m = line_re.match(text)
    if not m:
        continue
    count = int(m.group(4)) if m.group(4) else len(escape.findall(m.group(3)))
    chunks.append((float(m.group(1)), int(m.group(2)), count))
on_line = sum(c[2] for c in chunks)
# Streaming phases: runs of full blocks with no gap longer than 0.5 s between
# them; the first block's own time is not inside the span, so it is left out.
phases, current = [], []
for chunk in chunks:
    if chunk[2] >= 256 and current and chunk[0] - current[-1][0] <= 0.5:
        current.append(chunk)
        continue
    if len(current) > 4:
        phases.append(current)
    current = [chunk] if chunk[2] >= 256 else []
if len(current) > 4:
    phases.append(current)
streamed = sum(sum(c[2] for c in p[1:]) for p in phases)
span = sum(p[-1][0] - p[0][0] for p in phases)
capacity = sum(sum(c[2] for c in p[1:]) * 10 / p[0][1] for p in phases)
cpu = user + system
print(f"| {label} | {size} | {on_line} | {span:.2f} | {capacity:.2f} | {100 * capacity / span:.1f} % "
      f"| {pauses:.1f} | {elapsed:.2f} | {cpu:.2f} ({100 * cpu / elapsed:.2f} %) | {peak_kib / 1024:.1f} |")
PY
}

echo "| generation | image bytes | PC bytes on the line | streaming s | capacity s | of capacity | fixed pauses s | whole update s | CPU s (of wall) | peak RSS MiB |"
echo "|---|---|---|---|---|---|---|---|---|---|"
# Fixed pauses of the program (ms): 300 after opening the port; 300 before
# each setBaud and 500 after an actual speed change; 500 before the menu key
# and 500 after "file:" (generations 2 and 4, dated); generation 1: no pause
# around its key, and 300 before the hyper bootloader's setBaud (already at
# 115200: no change), its prompt answered at the first blank.
row "1 (1.7, 38400 -> 115200, hyper bootloader)" $((300 + 300 + 500 + 300)) 1 0 --bootloader 1.7
row "2 (2.1, packed)" $((300 + 300 + 500 + 500)) 2 0 --bootloader 2.1
row "4 (4.20, compressed)" $((300 + 300 + 500 + 500)) 4 40014 --bootloader 4.20
# A padded image does not begin with the irdeto leading record (0x11 0x20),
# so no 1000 ms record pause here.
row "dated (4.12)" $((300 + 300 + 500 + 500)) 7 4000C --bootloader 4.12
echo
echo "targets: streaming >= 98 % of capacity; CPU < 2 % of wall; peak RSS < 16 MiB." \
     "The box's programming time (boxsim default 2000 ms) is in the whole update."
