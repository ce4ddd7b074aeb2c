#!/usr/bin/env bash
# A 512 KiB image to a 4.12 box at the real pace of 115200 baud (10 bits a
# byte). Reports the time the image took on the line, as the box saw it
# (announcement taken to last image byte in), against the line's capacity
# (bytes x 10 / 115200 s; target at least 98 % of it), and the processor time
# of the whole run against its wall time (target below 2 %).
# TRACE=1: the same run with --trace, to show what the trace costs.
source "$(dirname "$0")/common.sh"
size=${IMAGE_BYTES:-524288}
trace_args=()
[[ -n ${TRACE:-} ]] && trace_args=(--trace "$work/trace.txt")

padded_image "$work/image.pad" "$size" 7 4000C
start_boxsim --bootloader 4.12 --expect flashed --timeout 300
timed_update "${trace_args[@]}" image.pad
wait_boxsim || { echo "boxsim: $(cat "$work/boxsim.out")" >&2; exit 1; }
cmp -s "$work/image.pad" "$work/flashed.bin" || { echo "the box flashed something else" >&2; exit 1; }

read -r elapsed user system <"$work/time.txt"
python3 - "$work/dialogue.log" "$size" "$elapsed" "$user" "$system" <<'PY'
import re, sys
log, size = sys.argv[1], int(sys.argv[2])
elapsed, user, system = map(float, sys.argv[3:])
start = end = None
sectors = 0
for line in open(log, encoding="utf-8", errors="replace"):
    fields = line.split()
    if len(fields) < 3 or not re.match(r"^[0-9.]+$", fields[0]):
        continue
    if fields[1] == "--" and fields[2] == "announcement:":
        start = float(fields[0])
    elif fields[1] == "--" and fields[2] == "padded" and fields[3] == "image:":
        end = float(fields[0])
if start is None or end is None:
    sys.exit("no image reception in the dialogue log")
line_s = end - start
capacity_s = size * 10 / 115200
cpu = user + system
print(f"image {size} bytes: on the line {line_s:.2f} s, capacity {capacity_s:.2f} s "
      f"-> {100 * capacity_s / line_s:.2f} % of the line's capacity (target >= 98 %)")
print(f"whole run: wall {elapsed:.2f} s, processor {cpu:.3f} s (user {user:.2f}, system {system:.2f}) "
      f"-> {100 * cpu / elapsed:.3f} % (target < 2 %)")
PY
[[ -n ${TRACE:-} ]] && echo "with --trace: $(wc -l <"$work/trace.txt") lines, $(wc -c <"$work/trace.txt") bytes of trace"
exit 0
