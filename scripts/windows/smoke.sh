#!/bin/sh
# Smoke runs of update.exe under Wine, inside the guard of wine-env.sh:
# the version listing, a bad port number, a missing port, and a box that does
# not answer. With BOXSIM_CMD set, also a run against the box emulator.
#
#   scripts/windows/smoke.sh [BUILD_DIR]
#
# BOXSIM_CMD: a shell command that starts the box emulator, publishing its
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
VCOM1=$UPDATE_WINE_DIR/vcom1
export VCOM1
# The Windows program reaches its ports through Wine's COM mapping; these are
# set all the same, to paths that lead nowhere, should a build ever read them.
for n in 1 2 3 4; do export "UPDATE_COM$n=$UPDATE_WINE_DIR/none$n"; done

# An irdeto image: with -i the image check reads no header, any file will do.
head -c 65536 /dev/urandom >"$work/irdeto.bin"

run() {
    name=$1
    shift
    start=$(date +%s.%N)
    status=0
    timeout 180 "$@" >"$work/$name.out" 2>"$work/$name.err" || status=$?
    end=$(date +%s.%N)
    printf '%-14s exit %3d  %5.1f s  stdout %4d lines  stderr: %s\n' "$name" "$status" \
        "$(echo "$end - $start" | bc)" "$(wc -l <"$work/$name.out")" \
        "$(head -c 120 "$work/$name.err" | tr '\n' '|')"
}

run version python3 "$peer" --silent wine "$exe" -V
run bad-port wine "$exe" -p 5 "$work/irdeto.bin"
rm -f "$VCOM1"
run missing-port wine "$exe" -i "$work/irdeto.bin"
run silent-box python3 "$peer" --silent wine "$exe" -i "$work/irdeto.bin"

if [ -n "${BOXSIM_CMD:-}" ]; then
    rm -f "$VCOM1"
    sh -c "$BOXSIM_CMD" >"$work/boxsim.log" 2>&1 &
    boxsim=$!
    i=0
    while [ ! -L "$VCOM1" ] && [ $i -lt 100 ]; do sleep 0.1; i=$((i + 1)); done
    # shellcheck disable=SC2086
    run boxsim wine "$exe" ${BOXSIM_ARGS:-}
    kill "$boxsim" 2>/dev/null || true
    wait "$boxsim" 2>/dev/null || true
fi
echo "outputs in $work"
