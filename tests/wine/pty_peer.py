#!/usr/bin/env python3
"""Stands a pseudo-terminal behind Wine's COM1 and runs a command against it.

    pty_peer.py [--silent] [--limit SECONDS] COMMAND [ARGS...]

Runs only inside scripts/windows/wine-env.sh: it checks that every serial
device of this machine is hidden behind /dev/null and that COM1 leads to the
path it re-points, and otherwise skips (exit 77) without starting anything.

With --limit the command is ended after that many seconds (exit 124); the
processor time it used is then told on standard error either way.
With --silent the far end takes everything and answers nothing (a box that
is switched off). Otherwise it answers what the Windows side sends:
  any byte     echoed back
  0x05 (ENQ)   answered with "<speed> crtscts=<0|1>\\n": the line settings as
               the pseudo-terminal's master sees them
  0x02 (STX)   stop reading for 2 s (the line stalls), then swallow all input
  0x04 (EOT)   hang up: both ends of the pseudo-terminal are closed
"""
import glob
import os
import pty
import select
import subprocess
import sys
import termios
import time
import tty

SKIP = 77


def guard_problem(wine_dir):
    null = os.stat("/dev/null").st_rdev
    for dev in glob.glob("/dev/ttyS*") + glob.glob("/dev/ttyUSB*") + glob.glob("/dev/ttyACM*"):
        if os.stat(dev).st_rdev != null:
            return f"{dev} is a real device here"
    prefix = os.environ.get("WINEPREFIX", "")
    link = os.path.join(prefix, "dosdevices", "com1")
    want = os.path.join(wine_dir, "vcom1")
    if not prefix or not os.path.islink(link) or os.readlink(link) != want:
        return f"COM1 does not lead to {want}"
    return None


def speed_of(attrs):
    code = attrs[5]
    for name in dir(termios):
        if name.startswith("B") and name[1:].isdigit() and getattr(termios, name) == code:
            return int(name[1:])
    return -1


def main():
    wine_dir = os.environ.get("UPDATE_WINE_DIR")
    if os.environ.get("UPDATE_WINE_GUARDED") != "1" or not wine_dir:
        print("pty_peer: not inside scripts/windows/wine-env.sh; skipped", file=sys.stderr)
        return SKIP
    problem = guard_problem(wine_dir)
    if problem:
        print(f"pty_peer: {problem}; skipped", file=sys.stderr)
        return SKIP

    args = sys.argv[1:]
    silent = bool(args) and args[0] == "--silent"
    if silent:
        args = args[1:]
    limit = None
    if len(args) >= 2 and args[0] == "--limit":
        limit = float(args[1])
        args = args[2:]

    master, slave = pty.openpty()
    tty.setraw(slave)  # raw before Wine opens it; the slave stays open so the master never reads EIO
    link = os.path.join(wine_dir, "vcom1")
    if os.path.lexists(link):
        os.remove(link)
    os.symlink(os.ttyname(slave), link)

    env = dict(os.environ, UPDATE_WINE_PEER="1")
    child = subprocess.Popen(args, env=env, stdin=subprocess.DEVNULL)
    mode = "sink" if silent else "echo"
    resume_at = 0.0
    deadline = None if limit is None else time.monotonic() + limit
    timed_out = False
    while child.poll() is None:
        if deadline is not None and time.monotonic() > deadline:
            child.kill()
            timed_out = True
            break
        if master is None or (mode == "hold" and time.monotonic() < resume_at):
            time.sleep(0.02)
            continue
        if mode == "hold":
            mode = "sink"
        ready, _, _ = select.select([master], [], [], 0.05)
        if not ready:
            continue
        try:
            data = os.read(master, 65536)
        except OSError:
            break
        out = bytearray()
        for byte in data:
            if silent:
                continue
            if byte == 0x04:
                os.close(master)
                os.close(slave)
                master = None
                break
            if byte == 0x02:
                mode, resume_at = "hold", time.monotonic() + 2.0
                break  # the rest of this read counts as swallowed
            if byte == 0x05:
                attrs = termios.tcgetattr(master)
                crtscts = 1 if attrs[2] & termios.CRTSCTS else 0
                out += f"{speed_of(attrs)} crtscts={crtscts}\n".encode()
            elif mode == "echo":
                out.append(byte)
        if out and master is not None:
            try:
                os.write(master, bytes(out))
            except OSError:
                pass
    _, wait_status, usage = os.wait4(child.pid, 0) if child.returncode is None else (0, 0, None)
    status = 124 if timed_out else (child.returncode if usage is None else os.waitstatus_to_exitcode(wait_status))
    if usage is not None and limit is not None:
        print(f"pty_peer: processor time {usage.ru_utime + usage.ru_stime:.2f} s", file=sys.stderr)
    if os.path.lexists(link):
        os.remove(link)
    return status


if __name__ == "__main__":
    sys.exit(main())
