# Shared by the benchmark scripts: a scratch directory, boxsim on a link in it,
# and the program run with every COM port pointed at that link or at a
# missing path (never at a real serial device).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=${BUILD_DIR:-$root/build}
update_program=$build/src/update
boxsim_program=$build/sim/boxsim
for program in "$update_program" "$boxsim_program"; do
    [[ -x $program ]] || { echo "missing $program: build first (cmake --build build)" >&2; exit 2; }
done

work=$(mktemp -d /tmp/update-bench-XXXXXX)
boxsim_pid=
cleanup() {
    [[ -n $boxsim_pid ]] && kill "$boxsim_pid" 2>/dev/null || true
    [[ -n ${KEEP_WORK:-} ]] && echo "kept $work" >&2 || rm -rf "$work"
}
trap cleanup EXIT

# start_boxsim ARGS...: boxsim in the background, published at $work/com1.
start_boxsim() {
    "$boxsim_program" --link "$work/com1" --log "$work/dialogue.log" --image-out "$work/flashed.bin" "$@" \
        >"$work/boxsim.out" 2>&1 &
    boxsim_pid=$!
    for _ in $(seq 250); do [[ -e $work/com1 ]] && return 0; sleep 0.02; done
    echo "boxsim did not publish its line" >&2
    exit 2
}

# timed_update ARGS...: the program in $work under /usr/bin/time; its
# elapsed, user and system seconds go to $work/time.txt.
timed_update() {
    (cd "$work" && env UPDATE_COM1="$work/com1" UPDATE_COM2="$work/missing2" UPDATE_COM3="$work/missing3" \
        UPDATE_COM4="$work/missing4" /usr/bin/time -f '%e %U %S' -o "$work/time.txt" \
        "$update_program" "$@" >"$work/update.out" 2>"$work/update.err") || true
}

wait_boxsim() {
    local status=0
    wait "$boxsim_pid" || status=$?
    boxsim_pid=
    return $status
}

# padded_image FILE SIZE TYPE ID: a padded image of SIZE bytes in all
# (header extension of type and id included), deterministic content.
padded_image() {
    python3 - "$@" <<'PY'
import random, struct, sys
path, size, image_type, image_id = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4], 16)
payload = random.Random(1).randbytes(size - 13)
with open(path, "wb") as f:
    f.write(struct.pack(">IBI", len(payload), image_type, image_id) + payload + struct.pack(">I", sum(payload) & 0xFFFFFFFF))
PY
}
