#!/usr/bin/env python3
# Runs a command with its standard input, output and error on a pseudo-terminal
# of its own, as a person at a terminal would, and prints what the terminal
# shows: line ends as line ends, a carriage return that rewrites a line as
# "<CR>", a run of N backspaces as "<BS*N>". Typed answers are sent when the terminal
# shows a given text (after the last answer's place), so their echo appears
# where a person would have typed them. Exits with the command's status
# (128 + N for an end by signal N).
#
#   on_terminal.py [--raw] [--on TEXT --type ANSWER]... -- COMMAND [ARGS...]
#   ANSWER may hold "\n" and "\x04" (Ctrl-D) as written here.
import os
import pty
import re
import select
import sys


def visible(data: bytes) -> str:
    text = data.decode("utf-8", "replace").replace("\r\n", "\n")
    text = re.sub("\b+", lambda run: f"<BS*{len(run.group())}>" if len(run.group()) > 1 else "<BS>", text)
    return text.replace("\r", "<CR>")


def main() -> int:
    args = sys.argv[1:]
    raw = False
    answers = []
    while args and args[0] != "--":
        if args[0] == "--raw":
            raw = True
            args = args[1:]
        elif args[0] == "--on" and len(args) >= 4 and args[2] == "--type":
            answer = args[3].encode().decode("unicode_escape").encode("latin-1")
            answers.append((args[1].encode(), answer))
            args = args[4:]
        else:
            print(__doc__ or "usage: on_terminal.py [--on TEXT --type ANSWER]... -- COMMAND", file=sys.stderr)
            return 2
    command = args[1:]
    pid, master = pty.fork()
    if pid == 0:
        os.execvp(command[0], command)
    shown = b""
    searched = 0
    while True:
        while answers:
            found = shown.find(answers[0][0], searched)
            if found < 0:
                break
            searched = found + len(answers[0][0])
            os.write(master, answers.pop(0)[1])
        try:
            select.select([master], [], [])
            data = os.read(master, 65536)
        except OSError:
            break
        if not data:
            break
        shown += data
    _, status = os.waitpid(pid, 0)
    out = sys.stdout.buffer
    out.write(shown if raw else visible(shown).encode())
    out.flush()
    code = os.waitstatus_to_exitcode(status)
    return 128 - code if code < 0 else code  # a signal's end as a shell shows it


if __name__ == "__main__":
    sys.exit(main())
