#!/usr/bin/env bash
# The bash completion of update and boxsim, as bash-completion loads it: the
# completion functions are called with the words of a command line, as bash
# calls them, and what they offer is compared with what a user should see.
#
#   completion_test.sh UPDATE BOXSIM COMPLETIONS_DIR
set -u
update=$(realpath "$1") boxsim=$(realpath "$2") completions=$(realpath "$3")
passed=0 failed=0

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
touch image.pad notes.txt
mkdir sub

# boxsim's file is the one bash-completion loads for boxsim; it brings update's.
. "$completions/boxsim"

# Offers for the command line WORDS..., the last being the word under the
# cursor; sorted, one line.
offers() {
    local function=$1
    shift
    COMP_WORDS=("$@")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMPREPLY=()
    "$function" "${COMP_WORDS[0]}" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
    printf '%s\n' "${COMPREPLY[@]}" | sort | tr '\n' ' ' | sed 's/ $//'
}

expect() {
    local what=$1 actual=$2 expected=$3
    if [ "$actual" = "$expected" ]; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        printf 'FAILED: %s\n  offered:  "%s"\n  expected: "%s"\n' "$what" "$actual" "$expected"
    fi
}

# Contains every word of WANTED.
expect_all() {
    local what=$1 actual=$2 word missing=""
    for word in $3; do
        [[ " $actual " == *" $word "* ]] || missing+=" $word"
    done
    expect "$what" "${missing:-none missing}" "none missing"
}

complete -p update boxsim >/dev/null 2>&1
expect "loading boxsim's file registers both programs" "$?" 0

# The options, from the real programs' --help.
expect_all "update's long options" "$(offers _update "$update" --)" \
    "--port --list-ports --trace --trace-full --help"
expect_all "update's short options, -9 with its tab" "$(offers _update "$update" -)" \
    "-p -b -n -l -w -V -2 -s -c -9 -i -7"
expect "options still go after a switch" "$(offers _update "$update" -lw --list)" "--list-ports"
expect "-p takes a port number" "$(offers _update "$update" -p "")" "1 2 3 4"
expect "-p5 is -p: it takes the next word" "$(offers _update "$update" -p5 "")" "1 2 3 4"
expect "-s: the word after the options is the method" "$(offers _update "$update" -b -s "")" "eol mix orb"
expect "-s, a method begun" "$(offers _update "$update" -s o)" "orb"
expect "the image" "$(offers _update "$update" -p 2 "")" "image.pad notes.txt sub"
expect "--trace takes a file" "$(offers _update "$update" --trace no)" "notes.txt"
expect "--trace=, split at the = as bash does" "$(offers _update "$update" --trace = no)" "notes.txt"
expect "after the --trace file, the image" "$(offers _update "$update" --trace t.txt im)" "image.pad"
expect "nothing after the image: the program reads no further" "$(offers _update "$update" image.pad "")" ""
expect "not even options after the image" "$(offers _update "$update" image.pad --)" ""

# An update whose --help has options this one does not have yet, and whose
# --list-ports names two adapters: the completion takes both from the program.
cat >"$work/update" <<'PROGRAM'
#!/bin/sh
case $1 in
--help) printf '%s\n' 'Usage: update [-p <int>] <image>' ' -p <int>: the port' \
    ' --report <file>   : writes a report' '                    --report also names' \
    ' --box-timeout <s> : how long' ' --port <device>  : the port by name' ;;
--list-ports) printf '%s\n' '/dev/ttyUSB0  FTDI FT232R USB UART; stable name /dev/serial/by-id/usb-FTDI_A5-if00-port0' \
    '/dev/ttyACM0  CDC-ACM modem' ;;
esac
PROGRAM
chmod +x "$work/update"
later=$work/update
expect "a new option" "$(offers _update "$later" --re)" "--report"
expect "a new option's file" "$(offers _update "$later" --report im)" "image.pad"
expect "a new option's number: nothing to offer" "$(offers _update "$later" --box-timeout "")" ""
expect "a line that goes on the text above is no option" "$(offers _update "$later" --report x.txt -)" \
    "--box-timeout --port --report -p"
expect "ports with their stable names" "$(offers _update "$later" --port "")" \
    "/dev/serial/by-id/usb-FTDI_A5-if00-port0 /dev/ttyACM0 /dev/ttyUSB0"
expect "--port=, a port begun" "$(offers _update "$later" --port = /dev/ttyU)" "/dev/ttyUSB0"
expect "--port=/dev/ttyU in one word" "$(offers _update "$later" --port=/dev/ttyU)" "/dev/ttyUSB0"
expect "a path no port begins with is a file" "$(offers _update "$later" --port no)" "notes.txt"
expect "the real program lists its ports (opens none)" \
    "$(offers _update "$update" --port /nonexistent/)" ""

# boxsim, from its real --help.
expect "boxsim's options" "$(offers _boxsim "$boxsim" --bo)" "--bootloader --boxes"
expect "--log takes a file" "$(offers _boxsim "$boxsim" --log no)" "notes.txt"
expect "--replay takes a trace file" "$(offers _boxsim "$boxsim" --replay no)" "notes.txt"
expect "--boxes takes a number" "$(offers _boxsim "$boxsim" --boxes "")" ""
expect "--in-bootloader takes nothing, though a line of the text begins with it" \
    "$(offers _boxsim "$boxsim" --in-bootloader --full)" "--full-speed"
expect "--echo-delay-ms and its neighbours take a number" "$(offers _boxsim "$boxsim" --menu-delay-ms "")" ""
expect "after a value, options again" "$(offers _boxsim "$boxsim" --boxes 3 --ex)" "--expect"

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
