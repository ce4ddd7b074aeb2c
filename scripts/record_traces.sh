#!/usr/bin/env bash
# Records tests/traces/ anew: every trace there is a real run of the program
# against boxsim over a pseudo-terminal, with a small image. Each image is
# made from a recipe kept beside its trace (NAME.image, see
# scripts/trace_image.py). Every COM port leads to boxsim's line or to a
# missing path.
#
#   scripts/record_traces.sh            # all of them
#   scripts/record_traces.sh gen2-success dated-success
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${BUILD_DIR:-$root/build}
update_program=$build/src/update
boxsim_program=$build/sim/boxsim
for program in "$update_program" "$boxsim_program"; do
    [[ -x $program ]] || { echo "missing $program: build first (cmake --build build)" >&2; exit 2; }
done
traces=$root/tests/traces

work=$(mktemp -d /tmp/update-traces-XXXXXX)
boxsim_pid=
cleanup() {
    [[ -n $boxsim_pid ]] && kill "$boxsim_pid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

# record NAME EXIT IMAGE BOXSIM_ARGS... -- UPDATE_ARGS...
#   EXIT: the program's exit status the run must end with.
#   IMAGE: "PAYLOAD SEED TYPE ID" of the image given last to the program, or "-".
record() {
    local name=$1 want=$2 image=$3
    shift 3
    local box_args=()
    while [[ $1 != -- ]]; do box_args+=("$1"); shift; done
    shift
    local update_args=("$@")
    local dir=$work/$name
    mkdir -p "$dir"
    rm -f "$traces/$name.image"
    if [[ $image != - ]]; then
        read -r payload seed type id <<<"$image"
        [[ $id == - ]] || id=0x$id
        printf 'payload %s seed %s type %s id %s\n' "$payload" "$seed" "$type" "$id" >"$traces/$name.image"
        python3 "$root/scripts/trace_image.py" "$traces/$name.image" "$dir/image.pad"
        update_args+=(image.pad)
    fi
    "$boxsim_program" --link "$dir/com1" --timeout 120 "${box_args[@]}" >"$dir/boxsim.out" 2>&1 &
    boxsim_pid=$!
    for _ in $(seq 250); do [[ -e $dir/com1 ]] && break; sleep 0.02; done
    [[ -e $dir/com1 ]] || { echo "$name: boxsim did not publish its line" >&2; exit 2; }
    local status=0
    # Run as "update", so that the trace's command line holds no path of this machine.
    (cd "$dir" && env UPDATE_COM1="$dir/com1" UPDATE_COM2="$dir/missing2" UPDATE_COM3="$dir/missing3" \
        UPDATE_COM4="$dir/missing4" bash -c 'exec -a update "$0" "$@"' "$update_program" \
        --trace "$name.trace" "${update_args[@]}" >"$dir/update.out" 2>"$dir/update.err") || status=$?
    wait "$boxsim_pid" || true
    boxsim_pid=
    if [[ $status != "$want" ]]; then
        echo "$name: the program exited with $status, not $want" >&2
        cat "$dir/update.err" "$dir/boxsim.out" >&2
        exit 1
    fi
    cp "$dir/$name.trace" "$traces/$name.trace"
    echo "$name: exit $status; $(cat "$dir/boxsim.out")"
    # Played back once over the pty, the program started by boxsim: what it
    # says is shown, not judged (a pty cannot place every reply exactly).
    rm -f "$dir/com1"
    (cd "$dir" && "$boxsim_program" --replay "$name.trace" --timeout 120 -- "$update_program" "${update_args[@]}" \
        >"$dir/replay.out" 2>&1) || true
    echo "  replayed: $(cat "$dir/replay.out")"
}

wanted() { [[ ${#selected[@]} -eq 0 ]] || [[ " ${selected[*]} " == *" $1 "* ]]; }
selected=("$@")

# Every family's success. Images: 30000 payload bytes, enough that the box's
# replies come while image data are still being written.
on() { if wanted "$1"; then record "$@"; fi; }
on gen1-hyper-success 0 "30000 5 1 -" --bootloader 1.7 --programming-ms 20 --
on gen2-success 0 "30000 5 2 -" --bootloader 2.1 --programming-ms 20 --
on gen3-success 0 "30000 5 2 -" --bootloader 3.2 --programming-ms 20 --
on gen4-type5-success 0 "30000 5 5 40006" --bootloader 4.6 --programming-ms 20 --
on gen4-compressed-success 0 "30000 5 4 40014" --bootloader 4.20 --programming-ms 20 --
on dated-success 0 "30000 5 7 4000C" --bootloader 4.12 --irdeto --programming-ms 20 --
on satellite-request 0 - --bootloader 4.20 --expect satellite:6 -- -s orb

# The failures that matter.
on gen2-error-during-image 1 "60000 5 2 -" --bootloader 2.1 --fault error --fault-text flash-write-failed --fault-at 9000 --expect aborted --
on gen4-error-during-image 1 "60000 5 4 40014" --bootloader 4.20 --fault error --fault-text flash-write-failed --fault-at 9000 --expect aborted --
on dated-error-during-image 1 "60000 5 7 4000C" --bootloader 4.12 --irdeto --fault error --fault-text flash-write-failed --fault-at 9000 \
    --expect aborted --
on dated-hangup-during-image 1 "40000 5 7 4000C" --bootloader 4.12 --irdeto --fault hangup --fault-at 20000 \
    --expect hungup --
on hangup-at-menu 1 "30000 5 4 40014" --bootloader 4.20 --hangup-at menu --expect hungup --
on gen4-stop 1 "60000 5 4 40014" --bootloader 4.20 --fault stop --fault-at 9000 --expect stopped --
on switched-on-late 0 "30000 5 4 40014" --bootloader 4.20 --switch-on-ms 4000 --programming-ms 20 --
on irdeto-echo-game 0 "30000 5 7 4000C" --bootloader 4.12 --irdeto --echo "..x.w" --programming-ms 20 --
