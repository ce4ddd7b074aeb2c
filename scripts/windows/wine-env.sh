#!/bin/sh
# Runs a command with the Wine prefix of a Windows build, inside a mount
# namespace where every real serial device of this machine reads as /dev/null.
#
#   scripts/windows/wine-env.sh [BUILD_DIR] -- COMMAND [ARGS...]
#
# Why the namespace: on these machines /dev/ttyS0 is the machine's own console,
# and Wine gives the machine's serial devices to COM ports by itself. A wrong
# mapping would send test bytes to the console. The Wine server, which is the
# process that opens devices, is started inside the namespace, and the command
# runs only after the guard and the COM mapping were checked.
#
# COM1 to COM4 and COM10 are mapped to BUILD_DIR/wine/vcom1 .. vcom4 and
# vcom10 (a port beyond COM9 is reached only through its \\.\ name); tests
# re-point those paths at a pseudo-terminal slave (or leave them missing).
set -eu

here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
build=$repo/build-windows
if [ $# -gt 0 ] && [ "$1" != "--" ]; then build=$(cd "$1" && pwd); shift; fi
[ "${1:-}" = "--" ] && shift
[ $# -gt 0 ] || { echo "usage: $0 [BUILD_DIR] -- COMMAND [ARGS...]" >&2; exit 2; }

wine_dir=$build/wine
export WINEPREFIX="$wine_dir/prefix"
export WINEDEBUG=-all
# No Mono or Gecko installer dialogs when the prefix builds itself.
export WINEDLLOVERRIDES="mscoree,mshtml="
export UPDATE_WINE_DIR="$wine_dir"
mkdir -p "$wine_dir"

if [ "${UPDATE_WINE_GUARDED:-}" != 1 ]; then
    # A server for this prefix started outside the namespace would open the
    # real devices: stop it before starting our own inside.
    WINEPREFIX="$WINEPREFIX" wineserver -k 2>/dev/null || true
    export UPDATE_WINE_GUARDED=1
    exec unshare --mount --propagation private sh -c '
        for d in /dev/ttyS* /dev/ttyUSB* /dev/ttyACM*; do
            [ -e "$d" ] || continue
            mount --bind /dev/null "$d" || exit 97
        done
        exec "$@"' guard "$0" "$build" -- "$@"
fi

fail() { echo "wine-env: $*" >&2; exit 97; }

# 1. The guard: every serial device must now be /dev/null.
null_id=$(stat -L -c '%t:%T' /dev/null)
for d in /dev/ttyS* /dev/ttyUSB* /dev/ttyACM*; do
    [ -e "$d" ] || continue
    [ "$(stat -L -c '%t:%T' "$d")" = "$null_id" ] || fail "$d is not hidden; refusing to run Wine"
done

# 2. Our own Wine server, inside the namespace, its noise in a file (it takes a
#    pseudo-terminal as its controlling terminal and floods standard error when
#    the far end closes).
start_server() {
    wineserver "$@" >>"$wine_dir/wineserver.log" 2>&1 </dev/null
}
ports="1 2 3 4 10"
if [ ! -f "$WINEPREFIX/.update-ports-v2" ]; then
    # First use: build the prefix and map the ports. The server saves the
    # registry when it ends, so let this one end before the mapping is checked.
    wineboot -i >>"$wine_dir/wineboot.log" 2>&1 || fail "wineboot failed (see $wine_dir/wineboot.log)"
    for n in $ports; do
        wine reg add 'HKLM\Software\Wine\Ports' /v "COM$n" /t REG_SZ /d "$wine_dir/vcom$n" /f \
            >>"$wine_dir/wineboot.log" 2>&1 || fail "cannot map COM$n"
    done
    wineserver -w
    touch "$WINEPREFIX/.update-ports-v2"
fi
# Persistent while the command runs: each program starts in a fraction of a second.
start_server -p
# The device manager re-creates the dosdevices links to the ports when the
# first program starts, not when the server does.
wine cmd /c exit >>"$wine_dir/wineboot.log" 2>&1 || fail "Wine does not start (see $wine_dir/wineboot.log)"

# 3. The mapping: COM1..COM4 and COM10 must lead to our paths and nowhere else.
for n in $ports; do
    link=$(readlink "$WINEPREFIX/dosdevices/com$n" || true)
    [ "$link" = "$wine_dir/vcom$n" ] || fail "com$n leads to '$link', not $wine_dir/vcom$n"
done

status=0
"$@" || status=$?
wineserver -k 2>/dev/null || true
exit $status
