#!/usr/bin/env bash
# The technician's bench, case by case: each case run on a terminal (a
# pseudo-terminal of its own, scripts/demo/on_terminal.py) and through a pipe,
# with standard output and standard error also caught apart, so that what a
# person is told and the fixed bytes a script reads can be seen side by side.
# The box is boxsim. Every COM port leads to boxsim's line, to a missing path
# or, for the system console's case, to a stand-in file that a fake system
# tree names as its console: no case leaves a port to its default device.
#
#   scripts/demo/bench_cases.sh [SECTION...]
#   sections: args loop boxline why life console trace replay (default: all)
# The scratch directory, boxsim on its link and the COM ports as the
# benchmarks have them; the cases fail on purpose, so no exit on failure.
. "$(dirname "${BASH_SOURCE[0]}")/../bench/common.sh"
set +e
export PATH=$build/src:$build/sim:$PATH
terminal_runner=$root/scripts/demo/on_terminal.py
cd "$work" || exit 2
unset UPDATE_TRACE UPDATE_TRACE_FULL UPDATE_SYSTEM_ROOT
export UPDATE_COM1=$work/com1 UPDATE_COM2=$work/missing2 UPDATE_COM3=$work/missing3 UPDATE_COM4=$work/missing4

# image FILE PAYLOAD TYPE ID: a padded image, about half zero bytes (ID "-": none).
image() {
    printf 'payload %s seed 5 type %s id %s\n' "$2" "$3" "$4" >"$work/recipe"
    python3 "$root/scripts/trace_image.py" "$work/recipe" "$1"
}

# box ARGS...: a fresh boxsim on $work/com1.
box() {
    rm -f "$work/com1"
    start_boxsim --timeout 120 "$@"
}
box_done() {
    [[ -n $boxsim_pid ]] || return 0
    wait_boxsim
    echo "  [boxsim: $(tr '\n' ' ' <"$work/boxsim.out")]"
}

shown() { printf '%q ' "$@"; }
on_terminal() {
    echo "\$ $(shown "$@")    # on a terminal"
    "$terminal_runner" -- "$@"
    echo "[exit $?]"
}
# Answers typed when the terminal shows a text: on_terminal_typing TEXT ANSWER ... -- COMMAND...
on_terminal_typing() {
    local answers=()
    while [[ $1 != -- ]]; do answers+=(--on "$1" --type "$2"); shift 2; done
    shift
    echo "\$ $(shown "$@")    # on a terminal, typing: ${answers[*]}"
    "$terminal_runner" "${answers[@]}" -- "$@"
    echo "[exit $?]"
}
through_pipe() {
    echo "\$ $(shown "$@") 2>&1 | cat"
    "$@" 2>&1 </dev/null | cat
    echo "[exit ${PIPESTATUS[0]}]"
}
# The two streams apart, every byte shown (Python's notation).
apart() {
    local status
    echo "\$ $(shown "$@") >out 2>err </dev/null"
    "$@" >"$work/out" 2>"$work/err" </dev/null
    status=$?
    python3 - "$work/out" "$work/err" <<'PY'
import sys
for name, path in (("out", sys.argv[1]), ("err", sys.argv[2])):
    print(f"  {name}: {open(path, 'rb').read()!r}")
PY
    echo "[exit $status]"
}
# every BOX_ARGS... -- UPDATE ARGS...: the case with a fresh box on a
# terminal, through a pipe and apart (BOX_ARGS "-": no box).
every() {
    local box_args=()
    while [[ $1 != -- ]]; do box_args+=("$1"); shift; done
    shift
    local way
    for way in on_terminal through_pipe apart; do
        [[ ${box_args[0]} != - ]] && box "${box_args[@]}"
        "$way" "$@"
        box_done
    done
    echo
}

section() { echo; echo "=== $*"; }
wanted() { [[ ${#selected[@]} -eq 0 ]] || [[ " ${selected[*]} " == *" $1 "* ]]; }
selected=("$@")

image img420.pad 60000 4 0x40014
image img412.pad 60000 7 0x4000C
image img21.pad 60000 2 -
image img17.pad 30000 1 -

if wanted args; then
    section "an argument after the image name"
    every - -- update img420.pad -p 2
    every - -- update img420.pad other.pad
    every - -- update img420.pad ""
    every - -- update -s orb --trace t.txt
fi

# The loop's transcripts without the banner's art and the blank lines.
no_banner() { grep -vE '^[[:space:]]+(O|OOO) |^[[:space:]]*$'; }

if wanted loop; then
    section "the loop prompt on a terminal: yes, spaces, y; Enter; n"
    box --bootloader 4.20 --boxes 3 --full-speed --programming-ms 20
    on_terminal_typing "[y]" 'yes\n' "Please answer" '   \n' "Please answer" 'y\n' "[y]" '\n' "[y]" 'n\n' -- \
        update -l img420.pad | no_banner
    box_done
    section "the loop prompt on a terminal: N ends; Ctrl-D ends"
    for answer in 'N\n' '\x04'; do
        box --bootloader 4.20 --full-speed --programming-ms 20
        on_terminal_typing "[y]" "$answer" -- update -l img420.pad | no_banner
        box_done
    done
    section "the loop prompt from a pipe: one byte a prompt, only n ends, end of input goes on"
    box --bootloader 4.20 --boxes 3 --full-speed --programming-ms 20
    echo "\$ printf 'Nyn' | update -l img420.pad 2>&1 | cat"
    printf 'Nyn' | update -l img420.pad 2>&1 | no_banner
    echo "[exit ${PIPESTATUS[1]}]"
    box_done
    box --bootloader 4.20 --boxes 2 --full-speed --programming-ms 20
    echo "\$ update -l img420.pad </dev/null 2>&1 | cat    # two boxes on the bench, then none"
    update -l img420.pad </dev/null 2>&1 | no_banner
    echo "[exit ${PIPESTATUS[0]}]"
    box_done
fi

if wanted boxline; then
    text="simulated transfer failure"
    section "the box's error line during the image: generation 4 (the Fehler form)"
    every --bootloader 4.20 --fault error --fault-text "$text" --fault-at 20000 --expect aborted -- update img420.pad
    section "the box's error line during the image: a dated box"
    every --bootloader 4.12 --irdeto --fault error --fault-text "$text" --fault-at 20000 --expect aborted -- \
        update img412.pad
    section "the box's error line during the image: generation 2"
    every --bootloader 2.1 --fault error --fault-text "$text" --fault-at 20000 --expect aborted -- update img21.pad
    section "the box's error line during the image: generation 1 (the hyper bootloader's transfer)"
    every --bootloader 1.7 --fault error --fault-during image --fault-text "$text" --fault-at 20000 \
        --expect aborted -- update img17.pad
    section "the box's error line at a prompt"
    every --bootloader 4.20 --error-at file --error-text "flash locked" --expect aborted -- update img420.pad
    every --bootloader 2.1 --error-at finished --error-text "flash locked" --expect aborted -- update img21.pad
fi

if wanted why; then
    section "why: the line hung up at the menu, at the key (exit 1 and nothing else before)"
    every --bootloader 4.20 --hangup-at menu --expect hungup -- update img420.pad
    every --bootloader 4.20 --hangup-at key --expect hungup -- update img420.pad
    section "why: the line hung up in the middle of the image"
    every --bootloader 4.12 --irdeto --fault hangup --fault-at 20000 --expect hungup -- update img412.pad
    section "why: the box refused the transfer (STOP)"
    every --bootloader 4.20 --fault stop --fault-at 20000 --expect stopped -- update img420.pad
    section "why: the image check"
    mkdir -p folder.pad
    : >empty.pad
    head -c 30000 img420.pad >cut.pad
    python3 -c "import sys; d = bytearray(open('img420.pad', 'rb').read()); d[100] ^= 1; open('badsum.pad', 'wb').write(d)"
    for bad in missing.pad folder.pad cut.pad badsum.pad empty.pad; do
        every - -- update "$bad"
    done
    section "why: too large for this box (payload 1900545 bytes)"
    image big.pad 1900545 4 0x40014
    every --bootloader 4.20 --expect released -- update big.pad
    section "why: hyper.pad cannot be created (a folder of that name is in the way)"
    mkdir -p hyper.pad
    every --bootloader 1.7 --expect released -- update img17.pad
    rmdir hyper.pad
    section "why: Ctrl-C in the middle of the image"
    box --bootloader 4.20 --expect none --timeout 10
    on_terminal_typing " % transfered" '\x03' -- update img420.pad
    box_done
    section "Ctrl-C during a generation 1 update: hyper.pad is removed"
    box --bootloader 1.7 --expect none --timeout 10
    on_terminal_typing " % transfered" '\x03' -- update img17.pad
    box_done
    echo "[hyper.pad left behind: $(if [[ -e hyper.pad ]]; then echo yes; else echo no; fi)]"
fi

if wanted life; then
    section "signs of life: the access retries (the box answers the third keyword)"
    every --bootloader 4.20 --answer-after 3 --programming-ms 20 --full-speed -- update img420.pad
    section "signs of life: a box programming for 4 s"
    every --bootloader 4.20 --programming-ms 4000 --full-speed -- update img420.pad
    section "signs of life: the hyper bootloader answers the fifth blank"
    every --bootloader 1.7 --hyperboot-answer-from 5 --programming-ms 20 --full-speed -- update img17.pad
fi

if wanted console; then
    # A fake system whose console is ttyS0. Its node leads to a stand-in (an
    # empty file) that UPDATE_COM1 names: the program meets the console's name
    # with nothing real behind it. No case here leaves a COM port to its
    # default device: this machine's own console stands there.
    fake=$work/system
    for tty in ttyS0 ttyS1; do
        mkdir -p "$fake/sys/devices/platform/serial8250/tty/$tty" "$fake/sys/class/tty/$tty"
        ln -s "$fake/sys/devices/platform/serial8250/tty/$tty" "$fake/sys/class/tty/$tty/device"
        echo 4 >"$fake/sys/class/tty/$tty/type"
    done
    mkdir -p "$fake/sys/class/tty/console" "$fake/proc" "$fake/dev/serial/by-id"
    echo "tty0 ttyS0" >"$fake/sys/class/tty/console/active"
    echo "ttyS0                -W- (EC  p a)    4:64" >"$fake/proc/consoles"
    : >"$fake/dev/ttyS1"
    : >"$work/console-stand-in"
    ln -s "$work/console-stand-in" "$fake/dev/ttyS0"
    section "the system console: --list-ports"
    every - -- env UPDATE_SYSTEM_ROOT="$fake" update --list-ports
    section "the system console: -p 1 where COM1 leads to the console (a stand-in file here)"
    every - -- env UPDATE_COM1="$work/console-stand-in" UPDATE_SYSTEM_ROOT="$fake" update -p 1 img420.pad
    section "the system console: the advice for a missing port leaves it out"
    every - -- env UPDATE_SYSTEM_ROOT="$fake" update -p 2 img420.pad
fi

if wanted trace; then
    section "a run killed with SIGKILL in the middle of the image, with --trace"
    image img420big.pad 400000 4 0x40014
    box --bootloader 4.20 --expect none --timeout 20
    echo "\$ update --trace killed.txt img420big.pad & ... kill -KILL at the trace's first image data"
    update --trace killed.txt img420big.pad >/dev/null 2>&1 &
    victim=$!
    timeout 60 tail -n +1 -f killed.txt 2>/dev/null | grep -q -m 1 '% transfered'
    grep -q 'bytes, digest' killed.txt && sleep 1
    kill -KILL "$victim"
    wait "$victim" 2>/dev/null
    echo "[killed: $(kill -l $?)]"
    box_done
    echo "--- the trace's head and its last lines ($(wc -l <killed.txt) lines)"
    head -12 killed.txt
    echo "  ..."
    tail -5 killed.txt
    echo
    echo "[the file's last byte:$(tail -c 1 killed.txt | od -An -c)]"
fi

if wanted replay; then
    section "a replay against a program whose output changed"
    # A 4.12 box hanging up at the byte sum, recorded here; then the seed trace
    # of a hang-up in the middle of the image.
    image img412small.pad 30000 7 0x4000C
    box --bootloader 4.12 --irdeto --hangup-at sum --expect hungup
    update --trace hangup-at-sum.trace img412small.pad >/dev/null 2>&1
    box_done
    seed=$root/tests/traces/dated-hangup-during-image.trace
    python3 "$root/scripts/trace_image.py" "${seed%.trace}.image" image.pad
    # The made-up change: the failure line after a hang-up reads otherwise.
    cat >changed-update <<EOF
#!/usr/bin/env bash
status=0
"$build/src/update" "\$@" 2>"$work/changed.err" || status=\$?
sed -e 's/^Fatal error 5\. Abort!/waitFor error: 5/' -e t -e 's/^waitFor error: 5/Fatal error 5. Abort!/' "$work/changed.err" >&2
exit \$status
EOF
    chmod +x changed-update
    for run in "hangup-at-sum.trace img412small.pad" "$seed image.pad"; do
        read -r trace image <<<"$run"
        for program in update ./changed-update; do
            echo "\$ boxsim --replay $(basename "$trace") -- $program $image"
            boxsim --replay "$trace" --timeout 60 -- "$program" "$image"
            echo "[exit $?]"
        done
    done
fi
