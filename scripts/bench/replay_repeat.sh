#!/usr/bin/env bash
# How often a replay over the pseudo-terminal comes out identical to its
# recording: steps, image data, the program's output and its exit code. Each
# trace of tests/traces is replayed N times with the program started by
# boxsim, under load (two busy processes beside it, as a shared machine has).
#
#   scripts/bench/replay_repeat.sh [N] [TRACE NAME...]
#   (default: 20 times each of dated-error-during-image, gen4-error-during-image
#   and dated-hangup-during-image)
#   LOAD=0 scripts/bench/replay_repeat.sh    # on a quiet machine
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

runs=${1:-20}
shift || true
names=("$@")
[[ ${#names[@]} -gt 0 ]] || names=(dated-error-during-image gen4-error-during-image dated-hangup-during-image)
traces=$root/tests/traces

load_pids=()
stop_load() {
    for pid in "${load_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    load_pids=()
}
trap 'stop_load; cleanup' EXIT
for _ in $(seq "${LOAD:-2}"); do
    yes >/dev/null &
    load_pids+=($!)
done

# The image the trace's recipe makes, as scripts/record_traces.sh made it.
image_for() {
    [[ ! -f $traces/$1.image ]] || python3 "$root/scripts/trace_image.py" "$traces/$1.image" "$2/image.pad"
}

# The program's arguments: the trace's command line without the program and --trace FILE.
arguments_of() {
    python3 - "$1" <<'PY'
import re, sys
for line in open(sys.argv[1]):
    if line.startswith("# command: "):
        args = [bytes(a, "ascii").decode("unicode_escape") for a in re.findall(r'"((?:[^"\\]|\\.)*)"', line)][1:]
        out, skip = [], False
        for a in args:
            if skip: skip = False; continue
            if a == "--trace": skip = True; continue
            if a.startswith("--trace="): continue
            out.append(a)
        print("\0".join(out), end="")
        break
PY
}

echo "replays of each trace: $runs, busy processes beside them: ${LOAD:-2}"
for name in "${names[@]}"; do
    trace=$traces/$name.trace
    [[ -f $trace ]] || { echo "no trace $trace" >&2; exit 2; }
    dir=$work/$name
    mkdir -p "$dir"
    image_for "$name" "$dir"
    mapfile -d '' args < <(arguments_of "$trace")
    identical=0
    : >"$dir/differences.txt"
    for run in $(seq "$runs"); do
        status=0
        (cd "$dir" && "$boxsim_program" --replay "$trace" --timeout 120 -- "$update_program" "${args[@]}" \
            >"$dir/replay.out" 2>&1) || status=$?
        if [[ $status == 0 ]] && grep -q "; output and exit code as recorded$" "$dir/replay.out"; then
            identical=$((identical + 1))
        else
            # The kind of difference, without the run's own paths and numbers.
            sed -E 's/^boxsim: replay of [^:]*: //; s/after [0-9]+ bytes alike/after N bytes alike/' "$dir/replay.out" \
                | cut -c1-300 >>"$dir/differences.txt"
        fi
    done
    echo "$name: $identical of $runs identical"
    sort "$dir/differences.txt" | uniq -c | sort -rn | sed 's/^/    /'
done
