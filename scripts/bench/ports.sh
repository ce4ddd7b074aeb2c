#!/usr/bin/env bash
# Many boxes at once at the real pace of the line: one box alone, then 8, then
# 16 (or the counts given), boxsim on a pseudo-terminal each, 512 KiB images at
# 115200 baud (boot loader 4.12). Per run: each port's line use (the image's
# time on the line against its capacity), the processor time of all of
# update's processes together (the bench and one process per port, as
# /usr/bin/time counts them), the peak memory of each port's process (VmHWM,
# sampled while they run) and how often the table was redrawn (the run's
# standard output is a terminal, through script(1)).
#
# Usage: scripts/bench/ports.sh [COUNT...]     (default: 1 8 16)
# Every port the program may use points into a scratch directory: no real
# serial device is ever opened.
source "$(dirname "$0")/common.sh"
size=${IMAGE_BYTES:-524288}
counts=("$@")
[[ ${#counts[@]} -gt 0 ]] || counts=(1 8 16)

padded_image "$work/image.pad" "$size" 7 4000C
boxsim_pids=()
stop_boxes() { for pid in "${boxsim_pids[@]}"; do kill "$pid" 2>/dev/null || true; done; boxsim_pids=(); }
trap 'stop_boxes; cleanup' EXIT

printf '%-6s %-28s %-22s %-18s %-14s\n' ports "line use per port (min-max)" "processor, all update" "peak memory/port" "table redraws"
for count in "${counts[@]}"; do
    run=$work/run$count
    mkdir -p "$run"
    list=
    for n in $(seq "$count"); do
        "$boxsim_program" --link "$run/box$n" --log "$run/box$n.log" --image-out "$run/flashed$n" \
            --bootloader 4.12 --expect flashed --timeout 600 >"$run/box$n.out" 2>&1 &
        boxsim_pids+=($!)
        list+=${list:+,}$run/box$n
    done
    for n in $(seq "$count"); do
        for _ in $(seq 250); do [[ -e $run/box$n ]] && break; sleep 0.02; done
    done
    # The table goes to a terminal; the program's processes are sampled for
    # their peak memory while they run.
    (cd "$run" && env UPDATE_COM1="$run/missing1" UPDATE_COM2="$run/missing2" UPDATE_COM3="$run/missing3" \
        UPDATE_COM4="$run/missing4" script -qfec \
        "/usr/bin/time -f '%e %U %S' -o '$run/time.txt' '$update_program' --ports '$list' '$work/image.pad'" \
        "$run/screen.txt" >/dev/null) &
    runner=$!
    python3 - "$update_program" "$run/memory.txt" "$runner" <<'PY' &
import os, sys, time
program, out, runner = sys.argv[1], sys.argv[2], int(sys.argv[3])
peak = {}
ticks = {}  # processor time so far, in clock ticks
while os.path.exists(f"/proc/{runner}"):
    for pid in os.listdir("/proc"):
        if not pid.isdigit():
            continue
        try:
            if os.readlink(f"/proc/{pid}/exe") != program:
                continue
            args = open(f"/proc/{pid}/cmdline", "rb").read().split(b"\0")
            status = open(f"/proc/{pid}/status").read()
            stat = open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        hwm = next((int(l.split()[1]) for l in status.splitlines() if l.startswith("VmHWM:")), 0)
        role = "port" if b"--port" in args else "bench"
        peak[(role, pid)] = max(peak.get((role, pid), 0), hwm)
        ticks[(role, pid)] = int(stat[11]) + int(stat[12])
    time.sleep(0.5)
with open(out, "w") as f:
    for (role, pid), kib in sorted(peak.items()):
        f.write(f"{role} {pid} {kib} {ticks[(role, pid)]}\n")
PY
    sampler=$!
    wait "$runner" || true
    wait "$sampler" || true
    for pid in "${boxsim_pids[@]}"; do wait "$pid" || true; done
    boxsim_pids=()
    for n in $(seq "$count"); do
        cmp -s "$work/image.pad" "$run/flashed$n" || { echo "box $n of $count flashed something else" >&2; exit 1; }
    done
    python3 - "$run" "$count" "$size" <<'PY'
import os, re, sys
run, count, size = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
uses = []
for n in range(1, count + 1):
    start = end = None
    for line in open(f"{run}/box{n}.log", encoding="utf-8", errors="replace"):
        fields = line.split()
        if len(fields) < 4 or not re.match(r"^[0-9.]+$", fields[0]):
            continue
        if fields[1] == "--" and fields[2] == "announcement:":
            start = float(fields[0])
        elif fields[1] == "--" and fields[2] == "padded" and fields[3] == "image:":
            end = float(fields[0])
    uses.append(100 * (size * 10 / 115200) / (end - start))
elapsed, user, system = map(float, open(f"{run}/time.txt").read().split()[:3])
samples = [l.split() for l in open(f"{run}/memory.txt")]
ports = [int(s[2]) for s in samples if s[0] == "port"]
hz = os.sysconf("SC_CLK_TCK")
bench_cpu = sum(int(s[3]) for s in samples if s[0] == "bench") / hz
port_cpu = [int(s[3]) / hz for s in samples if s[0] == "port"]
screen = open(f"{run}/screen.txt", "rb").read()
redraws = len(re.findall(rb"\x1b\[\d+A", screen))
cpu = user + system
print(f"{count:<6} {min(uses):6.2f} % - {max(uses):6.2f} %{'':9} "
      f"{cpu:6.2f} s of {elapsed:6.1f} s = {100 * cpu / elapsed:5.2f} %  "
      f"{max(ports) / 1024 if ports else 0:5.2f} MiB{'':7} {redraws / elapsed:5.2f} /s")
print(f"       (seen while running: the bench {bench_cpu:.2f} s, each port's process "
      f"{min(port_cpu, default=0):.2f} to {max(port_cpu, default=0):.2f} s)")
PY
done
echo "targets: line use >= 98 % (as one port alone), processor <= 2 % of one core, memory <= 8 MiB per port, <= 10 redraws/s"
