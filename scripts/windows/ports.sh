#!/bin/sh
# update.exe with --ports under Wine: three boxes (boxsim) on COM1, COM2 and
# COM3, and COM4 with nothing behind it; the report, the event lines and the
# flashed images compared with the image. Runs inside wine-env.sh's guard.
#
#   scripts/windows/ports.sh [POSIX_BUILD_DIR [WINDOWS_BUILD_DIR]]
set -eu
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
posix=$(cd "${1:-$repo/build}" && pwd)
windows=$(cd "${2:-$repo/build-windows}" && pwd)

if [ "${UPDATE_WINE_GUARDED:-}" != 1 ]; then
    exec "$here/wine-env.sh" "$windows" -- "$0" "$posix" "$windows"
fi

work=$(mktemp -d /tmp/update-wine-ports-XXXXXX)
python3 - "$work/image.pad" <<'PY'
import random, struct, sys
payload = bytes(0 if random.random() < 0.5 else random.randrange(256) for _ in range(20000))
open(sys.argv[1], "wb").write(struct.pack(">IB", len(payload), 2) + payload + struct.pack(">I", sum(payload) & 0xFFFFFFFF))
PY
pids=
n=1
for version in 2.0 3.1 4.1; do
    rm -f "$UPDATE_WINE_DIR/vcom$n"
    "$posix/sim/boxsim" --bootloader "$version" --link "$UPDATE_WINE_DIR/vcom$n" --image-out "$work/flashed$n" \
        --full-speed --timeout 120 >"$work/boxsim$n.out" 2>&1 &
    pids="$pids $!"
    n=$((n + 1))
done
rm -f "$UPDATE_WINE_DIR/vcom4"
for n in 1 2 3; do
    i=0
    while [ ! -L "$UPDATE_WINE_DIR/vcom$n" ] && [ $i -lt 100 ]; do sleep 0.1; i=$((i + 1)); done
done
status=0
(cd "$work" && wine "$windows/update/src/update.exe" --ports COM1,com2,COM3 --ports COM4,COM1 --report report.jsonl \
    image.pad >update.out 2>update.err) || status=$?
for pid in $pids; do wait "$pid" || true; done
echo "exit code $status (1 expected: COM4 has no box)"
tr -d '\r' <"$work/update.out"
cat "$work/update.err"
cat "$work/report.jsonl"
for n in 1 2 3; do
    if cmp -s "$work/image.pad" "$work/flashed$n"; then echo "COM$n: flashed the image byte for byte"; else echo "COM$n: NOT the image"; fi
done
rm -rf "$work"
