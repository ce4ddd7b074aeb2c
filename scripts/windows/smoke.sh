#!/bin/sh
# Smoke runs of update.exe under Wine, inside the guard of wine-env.sh:
# the version listing, a bad port number, a missing port, and a box that does
# not answer. With BOXSIM_CMD set, also a run against the box emulator.
#
#   scripts/windows/smoke.sh [BUILD_DIR]
#
# BOXSIM_CMD: a shell command (it may use $VCOM1 and $SMOKE_DIR, the directory
# of the outputs, where irdeto.bin is an image for -i) that starts the box emulator, publishing its
# pseudo-terminal slave as a symbolic link at "$VCOM1" and running until it
# is ended; BOXSIM_ARGS: the arguments of update.exe for that run.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
build=${1:-$repo/build-windows}
build=$(cd "$build" && pwd)

if [ "${UPDATE_WINE_GUARDED:-}" != 1 ]; then
    exec "$here/wine-env.sh" "$build" -- "$0" "$build"
fi

exe=$build/update/src/update.exe
peer=$repo/tests/wine/pty_peer.py
work=$build/smoke
mkdir -p "$work"
SMOKE_DIR=$work
export SMOKE_DIR
VCOM1=$UPDATE_WINE_DIR/vcom1
export VCOM1
# The Windows program reaches its ports through Wine's COM mapping; these are
# set all the same, to paths that lead nowhere, should a build ever read them.
for n in 1 2 3 4; do export "UPDATE_COM$n=$UPDATE_WINE_DIR/none$n"; done

# An irdeto image: with -i the image check reads no header, any file will do.
head -c 65536 /dev/urandom >"$work/irdeto.bin"

# Processor time of the Wine server, which carries out part of every system
# call: a program that spins makes it spin too.
server_seconds() {
    total=0
    for pid in $(pgrep -x "wineserver(64)?" || true); do
        ticks=$(awk '{print $14 + $15}' "/proc/$pid/stat" 2>/dev/null || echo 0)
        total=$((total + ticks))
    done
    echo "$total / $(getconf CLK_TCK)" | bc -l
}

# run NAME SECONDS COMMAND...: runs with a time limit (exit 124 when it was
# reached) and reports exit code, wall and processor time, and the output.
run() {
    name=$1
    limit=$2
    shift 2
    start=$(date +%s.%N)
    server_start=$(server_seconds)
    status=0
    /usr/bin/time -o "$work/$name.time" -f '%U %S' timeout "$limit" "$@" \
        >"$work/$name.out" 2>"$work/$name.err" || status=$?
    end=$(date +%s.%N)
    cpu=$(tail -n 1 "$work/$name.time" | awk '{print $1 + $2}')
    server=$(echo "$(server_seconds) - $server_start" | bc -l)
    printf '%-13s exit %3d  %5.1f s  cpu %5.2f s  server %5.2f s  stdout %3d lines  stderr: %s\n' "$name" "$status" \
        "$(echo "$end - $start" | bc)" "$cpu" "$server" "$(wc -l <"$work/$name.out")" \
        "$(head -c 100 "$work/$name.err" | tr '\n' '|')"
}

run version 60 python3 "$peer" --silent wine "$exe" -V
run bad-port 60 wine "$exe" -p 5 "$work/irdeto.bin"
rm -f "$VCOM1"
run missing-port 60 wine "$exe" -i "$work/irdeto.bin"
# A box that never answers costs 16 attempts of 15 s: look at the first 20 s,
# which must pass waiting, not spinning.
run silent-box 60 python3 "$peer" --silent --limit 20 wine "$exe" -i "$work/irdeto.bin"

if [ -n "${BOXSIM_CMD:-}" ]; then
    rm -f "$VCOM1"
    sh -c "$BOXSIM_CMD" >"$work/boxsim.log" 2>&1 &
    boxsim=$!
    i=0
    while [ ! -L "$VCOM1" ] && [ $i -lt 100 ]; do sleep 0.1; i=$((i + 1)); done
    # shellcheck disable=SC2086
    run boxsim 600 wine "$exe" ${BOXSIM_ARGS:-}
    # The emulator ends by itself once the box is done and says how it ended.
    i=0
    while kill -0 "$boxsim" 2>/dev/null && [ $i -lt 100 ]; do sleep 0.1; i=$((i + 1)); done
    kill "$boxsim" 2>/dev/null || true
    boxsim_status=0
    wait "$boxsim" 2>/dev/null || boxsim_status=$?
    echo "boxsim        exit $boxsim_status: $(tail -n 1 "$work/boxsim.log")"
fi
echo "outputs in $work"
