#!/usr/bin/env bash
# Load figures for the program against the box emulator:
#  (a) loop mode over many boxes in a row: open descriptors, resident memory
#      (VmRSS, VmHWM) and CPU time of `update`, taken at the loop prompt after
#      box 1, 10, 25 and the last one, when the port is closed and the program
#      waits for its answer;
#  (b) four programs on four emulated ports at once, at the line's real pace:
#      wall time of each and whether each box flashed exactly its image.
#
# Usage: scripts/bench/load.sh [BUILD_DIR] [BOXES]   (defaults: build 50)
# Every port the program may use points into a scratch directory: no real
# serial device is ever opened.
set -euo pipefail
cd "$(dirname "$0")/../.."

build=${1:-build}
boxes=${2:-50}
update=$build/src/update
boxsim=$build/sim/boxsim
if [[ ! -x $update || ! -x $boxsim ]]; then
  echo "load.sh: build first: cmake -S . -B $build && cmake --build $build -j$(nproc)" >&2
  exit 2
fi

scratch=$(mktemp -d "${TMPDIR:-/tmp}/update-load-XXXXXX")
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  rm -rf "$scratch"
}
trap cleanup EXIT

# A padded image: length, type, image id (none for type 2), payload, byte
# sum; the payload is deterministic per seed.
make_image() {  # path payload-bytes seed type id
  python3 - "$@" <<'EOF'
import random, struct, sys
path, size, seed, kind, ident = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4]), int(sys.argv[5], 0)
rng = random.Random(seed)
payload = bytes(0 if rng.random() < 0.5 else rng.randrange(256) for _ in range(size))
header = struct.pack('>IB', size, kind) + (b'' if kind == 2 else struct.pack('>I', ident))
with open(path, 'wb') as f:
    f.write(header + payload + struct.pack('>I', sum(payload) & 0xFFFFFFFF))
EOF
}

# Every COM port at a safe path: the given links, the rest missing.
ports_env() {  # link1 link2 link3 link4 (empty: missing)
  local n env=()
  for n in 1 2 3 4; do
    local link=${!n:-}
    env+=("UPDATE_COM$n=${link:-$scratch/missing-com$n}")
  done
  printf '%s\n' "${env[@]}"
}

wait_for_link() {
  local tries=0
  until [[ -L $1 ]]; do
    ((++tries > 1000)) && { echo "load.sh: boxsim never published $1" >&2; exit 1; }
    sleep 0.01
  done
}

now() { date +%s.%N; }
since() { awk -v a="$1" -v b="$(now)" 'BEGIN {printf "%.1f", b - a}'; }
ticks=$(getconf CLK_TCK)

# ---------------------------------------------------------------- (a)
echo "== (a) loop mode: $boxes boxes in a row (boot loader 4.12, 60000-byte image, full speed) =="
image=$scratch/image.pad
make_image "$image" 60000 50 7 0x4000C
"$boxsim" --link "$scratch/com1" --image-out "$scratch/flashed.bin" --bootloader 4.12 --boxes "$boxes" \
  --full-speed --programming-ms 50 --expect flashed --timeout 3600 >"$scratch/boxsim.out" 2>&1 &
boxsim_pid=$!
pids+=("$boxsim_pid")
wait_for_link "$scratch/com1"

mapfile -t env < <(ports_env "$scratch/com1")
start=$(now)
# Only the three streams go to the program, so its descriptor count is its own.
coproc UPD {
  cd "$scratch"
  for fd in $(ls /proc/$BASHPID/fd); do ((fd > 2)) && eval "exec $fd>&-"; done
  exec env "${env[@]}" "$OLDPWD/$update" -l "$image" 2>&1
}
update_pid=$UPD_PID
pids+=("$update_pid")
out_fd=${UPD[0]}
in_fd=${UPD[1]}

printf '%10s %12s %12s %12s %10s %10s\n' "after box" "descriptors" "VmRSS [KiB]" "VmHWM [KiB]" "CPU [s]" "wall [s]"
box=0
banners=0
first_fds=""
fd_growth=no
while IFS= read -r -u "$out_fd" line; do
  [[ $line == *"successfully finished."* ]] && ((++banners))
  [[ $line == "Update another box (y/n)? [y]" ]] || continue
  ((++box))
  if ((box == 1 || box == 10 || box == 25 || box == boxes)); then
    fds=$(ls /proc/"$update_pid"/fd | sort -n | tr '\n' ' ')
    if [[ -z $first_fds ]]; then
      first_fds=$fds
      held=$(for fd in $fds; do printf '%s -> %s; ' "$fd" "$(readlink /proc/"$update_pid"/fd/"$fd")"; done)
    fi
    [[ $fds != "$first_fds" ]] && fd_growth=yes
    rss=$(awk '/^VmRSS:/ {print $2}' /proc/"$update_pid"/status)
    hwm=$(awk '/^VmHWM:/ {print $2}' /proc/"$update_pid"/status)
    cpu=$(awk -v t="$ticks" '{printf "%.2f", ($14 + $15) / t}' /proc/"$update_pid"/stat)
    printf '%10d %12d %12s %12s %10s %10s\n' "$box" "$(wc -w <<<"$fds")" "$rss" "$hwm" "$cpu" "$(since "$start")"
  fi
  if ((box < boxes)); then printf y >&"$in_fd"; else printf n >&"$in_fd"; fi
done
wait "$update_pid" && status=0 || status=$?
total=$(since "$start")
wait "$boxsim_pid" && box_status=0 || box_status=$?
same=0
for ((n = 1; n <= boxes; ++n)); do
  file=$scratch/flashed.bin
  ((n > 1)) && file+=".$n"
  cmp -s "$file" "$image" && ((++same))
done
echo "descriptors held at the prompt after box 1: $held"
printf 'update exit %d, %d banners, boxsim exit %d, %d of %d flashed images equal to the file\n' \
  "$status" "$banners" "$box_status" "$same" "$boxes"
printf 'wall %s s for %d boxes (%s s a box); descriptor growth: %s\n' "$total" "$boxes" \
  "$(awk -v t="$total" -v n="$boxes" 'BEGIN {printf "%.2f", t / n}')" "$fd_growth"

# ---------------------------------------------------------------- (b)
echo
echo "== (b) four programs on four ports at once (boot loaders 4.12, 4.20, 2.1, 4.7; real pace of the line) =="
links=()
loaders=(- 4.12 4.20 2.1 4.7)
types=(- 7 4 2 5)
ids=(- 0x4000C 0x40014 0 0x40007)
for n in 1 2 3 4; do
  links+=("$scratch/four-com$n")
  make_image "$scratch/four$n.pad" $((20000 + 7000 * n)) "$n" "${types[n]}" "${ids[n]}"
  "$boxsim" --link "$scratch/four-com$n" --image-out "$scratch/four-flashed$n.bin" --bootloader "${loaders[n]}" \
    --expect flashed --timeout 600 >"$scratch/four-boxsim$n.out" 2>&1 &
  pids+=("$!")
  box_pids[n]=$!
done
for link in "${links[@]}"; do wait_for_link "$link"; done
mapfile -t env < <(ports_env "${links[@]}")
start=$(now)
for n in 1 2 3 4; do
  (
    cd "$scratch"
    env "${env[@]}" "$OLDPWD/$update" -p "$n" "four$n.pad" >"four-update$n.out" 2>&1
    echo $? >"four-update$n.status"
    now >"four-update$n.end"
  ) &
  update_pids[n]=$!
done
printf '%5s %12s %12s %10s %8s %14s\n' port "boot loader" "image bytes" "wall [s]" exit "flashed image"
for n in 1 2 3 4; do
  wait "${update_pids[n]}"
  wait "${box_pids[n]}" || true
  st=$(cat "$scratch/four-update$n.status")
  took=$(awk -v a="$start" -v b="$(cat "$scratch/four-update$n.end")" 'BEGIN {printf "%.1f", b - a}')
  verdict=different
  cmp -s "$scratch/four-flashed$n.bin" "$scratch/four$n.pad" && verdict=equal
  grep -q "Download on com port $n successfully finished." "$scratch/four-update$n.out" || verdict+=" (no banner)"
  printf '%5d %12s %12d %10s %8s %14s\n' "$n" "${loaders[n]}" "$(stat -c %s "$scratch/four$n.pad")" "$took" "$st" "$verdict"
done
