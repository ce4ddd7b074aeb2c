#!/bin/bash
# The restore at close under load: the program's last key (the satellite
# method's key, both release keys of an unsupported box) must reach boxsim at
# the speed it was written at, though the program restores the port's own
# settings right after it. boxsim counts a byte at the speed the line has
# when it takes it, as a UART does. RUNS runs of each case (default 20), with
# two `yes` processes loading the machine.
. "$(dirname "${BASH_SOURCE[0]}")/common.sh"
runs=${RUNS:-20}

yes >/dev/null & load1=$!
yes >/dev/null & load2=$!
trap 'kill $load1 $load2 2>/dev/null; cleanup' EXIT

padded_image "$work/image.pad" 4096 4 0x00040014

run_case() {
    local name=$1 expect=$2 version=$3; shift 3
    local good=0
    for _ in $(seq "$runs"); do
        start_boxsim --bootloader "$version" --expect "$expect" --timeout 60
        timed_update "$@"
        if wait_boxsim; then good=$((good + 1)); fi
    done
    echo "$name: $good of $runs keys taken at the speed they were written at"
}

run_case "-s orb (4.20)" satellite:6 4.20 -s orb
run_case "unsupported 5.0 (release keys)" released 5.0 image.pad
run_case "unsupported 4.21 image refused (release keys)" released 4.21 image.pad
