#!/usr/bin/env bash
# Processor time of the program while it waits for a menu prompt that comes
# only after WAIT_S seconds (default 60): the box shows its version at once,
# then keeps quiet. The wait has no time limit, so the program must block on
# the line, not poll it. Target: below 1 % of the wall time.
source "$(dirname "$0")/common.sh"
wait_s=${WAIT_S:-60}

start_boxsim --bootloader 4.20 --menu-delay-ms "$((wait_s * 1000))" --expect satellite:5 --timeout "$((wait_s + 60))"
timed_update -s eol
wait_boxsim || { echo "boxsim: $(cat "$work/boxsim.out")" >&2; exit 1; }

read -r elapsed user system <"$work/time.txt"
python3 - "$elapsed" "$user" "$system" <<'PY'
import sys
elapsed, user, system = map(float, sys.argv[1:])
cpu = user + system
print(f"waited for \"choice!:\": wall {elapsed:.2f} s, processor {cpu:.3f} s (user {user:.2f}, system {system:.2f})")
print(f"processor time / wall time = {100 * cpu / elapsed:.3f} %  (target < 1 %)")
PY
