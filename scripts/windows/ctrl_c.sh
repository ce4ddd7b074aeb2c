#!/bin/sh
# Ctrl-C during a transfer, under Wine. update.exe sends an image to boxsim on
# COM1 and gets SIGINT once the image is on its way (Wine hands SIGINT to a
# console program as CTRL_C_EVENT); the same for a generation 1 box while its
# hyper.pad goes out. Shows for each: the exit code, the trace's last lines,
# the line settings before, during and after the run as boxsim's end of the
# line holds them, and whether hyper.pad is left.
#
#   scripts/windows/ctrl_c.sh [POSIX_BUILD_DIR [WINDOWS_BUILD_DIR]]
#
# Fails unless every run ends with 130, a trace whose last line is the event,
# the line back at the settings it had before, and no hyper.pad.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
posix=$(cd "${1:-$repo/build}" && pwd)
windows=$(cd "${2:-$repo/build-windows}" && pwd)

if [ "${UPDATE_WINE_GUARDED:-}" != 1 ]; then
    exec "$here/wine-env.sh" "$windows" -- "$0" "$posix" "$windows"
fi

exe=$windows/update/src/update.exe
boxsim=$posix/sim/boxsim
work=$windows/ctrl-c
rm -rf "$work"
mkdir -p "$work"
link=$UPDATE_WINE_DIR/vcom1
for n in 2 3 4; do export "UPDATE_COM$n=$UPDATE_WINE_DIR/none$n"; done

# The settings of the pseudo-terminal as boxsim's own descriptor of its slave
# sees them. Opening the slave by its name would count as a program opening
# the line; a duplicate of boxsim's descriptor does not.
line_settings() {
    python3 - "$1" "$(readlink "$link")" <<'PY'
import ctypes, os, sys, termios
pid, slave = int(sys.argv[1]), sys.argv[2]
libc = ctypes.CDLL(None, use_errno=True)
for fd in os.listdir(f"/proc/{pid}/fd"):
    if os.readlink(f"/proc/{pid}/fd/{fd}") != slave:
        continue
    pidfd = libc.syscall(434, pid, 0)            # pidfd_open
    mine = libc.syscall(438, pidfd, int(fd), 0)  # pidfd_getfd
    attrs = termios.tcgetattr(mine)
    speed = next((n[1:] for n in dir(termios) if n.startswith("B") and n[1:].isdigit()
                  and getattr(termios, n) == attrs[5]), "?")
    print(f"{speed} crtscts={1 if attrs[2] & termios.CRTSCTS else 0}")
    break
else:
    print("no slave")
PY
}

# Waits (at most 120 s) until the file holds the text.
await_text() {
    i=0
    until grep -q "$2" "$1" 2>/dev/null; do
        i=$((i + 1))
        [ $i -lt 600 ] || return 1
        sleep 0.2
    done
}

failed=0
# run NAME BOOTLOADER WHEN_IN_TRACE UPDATE_ARGS...
run() {
    name=$1 bootloader=$2 when=$3
    shift 3
    dir=$work/$name
    mkdir -p "$dir"
    rm -f "$link"
    "$boxsim" --link "$link" --bootloader "$bootloader" --log "$dir/box.log" --expect none --timeout 300 \
        >"$dir/boxsim.out" 2>&1 &
    box=$!
    i=0
    while [ ! -L "$link" ] && [ $i -lt 100 ]; do sleep 0.1; i=$((i + 1)); done
    before=$(line_settings "$box")
    (cd "$dir" && exec wine "$exe" --trace "$dir/run.trace" "$@" >"$dir/update.out" 2>"$dir/update.err") &
    update=$!
    await_text "$dir/run.trace" "$when" || echo "$name: the trace never showed '$when'"
    during=$(line_settings "$box")
    kill -INT "$(pgrep -f -n "update.exe --trace $dir/run.trace")" 2>/dev/null || kill -INT "$update"
    status=0
    wait "$update" || status=$?
    after=$(line_settings "$box")
    kill "$box" 2>/dev/null || true
    wait "$box" 2>/dev/null || true
    pad=absent
    [ -e "$dir/hyper.pad" ] && pad=present
    echo "== $name (boot loader $bootloader), SIGINT after '$when'"
    echo "exit code: $status"
    echo "line before: $before; during: $during; after: $after"
    echo "hyper.pad: $pad"
    echo "trace, last lines:"
    tail -n 3 "$dir/run.trace" | sed 's/^/    /'
    echo "standard error: $(tr -d '\r' <"$dir/update.err" | tr '\n' '|' | cut -c1-200)"
    last=$(tail -n 1 "$dir/run.trace" | cut -c11-)
    if [ "$status" != 130 ] || [ "$last" != "  signal   CTRL_C_EVENT" ] || [ "$after" != "$before" ] ||
        [ "$pad" != absent ]; then
        echo "FAIL: $name"
        failed=1
    fi
}

head -c 1048576 /dev/urandom >"$work/irdeto.bin"
run irdeto 4.12 'bytes, digest' -i "$work/irdeto.bin"
# A padded image: length, payload and byte sum, the length and sum big-endian.
python3 -c '
import os, struct, sys
payload = os.urandom(262144)
open(sys.argv[1], "wb").write(struct.pack(">I", len(payload)) + payload + struct.pack(">I", sum(payload) & 0xFFFFFFFF))
' "$work/image.pad"
# Interrupted while hyper.pad, which the program wrote for the box, goes out.
run generation1 1.6 'file:' "$work/image.pad"
echo "outputs in $work"
exit $failed
