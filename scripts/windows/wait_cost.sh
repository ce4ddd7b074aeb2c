#!/bin/sh
# What update.exe costs while it waits for a box that never answers: a
# satellite request on COM1 waits for the "Bootloader Version" line, 15 s per
# attempt, keyword after keyword, and is ended after WAIT_S seconds (default 60).
#
#   scripts/windows/wait_cost.sh [BUILD_DIR [EXE]]
#
# Two runs: one under `strace -f -c` for the system calls of the Wine process
# that runs the program (the Wine server, started before, is not traced;
# strace is stopped with SIGINT so that it writes its count), one
# without it for the processor time of the program and of the Wine server.
# Fails when the program's processor time reaches 1 % of the wait.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
build=$(cd "${1:-$repo/build-windows}" && pwd)
exe=${2:-$build/update/src/update.exe}
wait_s=${WAIT_S:-60}
peer=$repo/tests/wine/pty_peer.py
out=${WAIT_COST_DIR:-$build/wait-cost}
mkdir -p "$out"

"$here/wine-env.sh" "$build" -- sh -c '
    peer=$1 exe=$2 wait_s=$3 out=$4
    server_ticks() {
        total=0
        for pid in $(pgrep -x "wineserver(64)?" || true); do
            total=$((total + $(awk "{print \$14 + \$15}" /proc/$pid/stat 2>/dev/null || echo 0)))
        done
        echo "$total"
    }
    python3 "$peer" --silent --limit "$((wait_s + 30))" \
        timeout -s INT "$wait_s" strace -f -c -o "$out/strace.txt" wine "$exe" -s eol \
        >"$out/traced.out" 2>"$out/traced.err" || true
    before=$(server_ticks)
    python3 "$peer" --silent --limit "$wait_s" wine "$exe" -s eol >"$out/plain.out" 2>"$out/plain.err" || true
    after=$(server_ticks)
    cpu=$(sed -n "s/^pty_peer: processor time \([0-9.]*\) s$/\1/p" "$out/plain.err")
    echo "wait of $wait_s s, program: processor time $cpu s"
    echo "Wine server: processor time $(echo "($after - $before) / $(getconf CLK_TCK)" | bc -l | cut -c1-5) s"
    echo "system calls of the program under strace -f -c:"
    grep -E "^ *[0-9]|total" "$out/strace.txt" | sort -k4 -n -r | head -n 8
    # Target: below 1 % of the wall time.
    echo "$cpu < $wait_s / 100" | bc -l | grep -qx 1 || { echo "FAIL: above 1 % of the wall time"; exit 1; }
' wait-cost "$peer" "$exe" "$wait_s" "$out"
