#!/usr/bin/env bash
# Builds the Debian package and proves it in a fresh directory tree: the
# package's own files, unpacked with dpkg -x, rehearse a satellite request
# (boxsim on a pseudo-terminal, update pointed at it).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh dpkg-dev
cmake -S . -B build-package -DCMAKE_BUILD_TYPE=Release -DUPDATE_TESTS=OFF >/dev/null
cmake --build build-package -j "$(nproc)"
(cd build-package && cpack >/dev/null)
deb=$(ls build-package/update_*.deb)
echo "package: $deb"
dpkg-deb -I "$deb" | grep -E 'Package|Version|Depends'

root=$(mktemp -d)
boxsim=""
trap 'if [ -n "$boxsim" ]; then kill "$boxsim" 2>/dev/null || true; fi; rm -rf "$root"' EXIT
dpkg -x "$deb" "$root"
find "$root" -type f | sed "s|$root||" | sort

"$root/usr/bin/update" -V >"$root/listing.txt" && head -1 "$root/listing.txt"
test -s "$root/usr/share/man/man1/update.1" && test -s "$root/usr/share/man/man1/boxsim.1"
grep -q 'ID_MM_DEVICE_IGNORE}="1"' "$root/usr/lib/udev/rules.d/70-update-serial-adapters.rules"

"$root/usr/bin/boxsim" --bootloader 4.20 --full-speed --expect satellite:6 --timeout 30 --link "$root/com1" &
boxsim=$!
for _ in $(seq 100); do [ -e "$root/com1" ] && break; sleep 0.05; done
UPDATE_COM1="$root/com1" UPDATE_COM2="$root/none" UPDATE_COM3="$root/none" UPDATE_COM4="$root/none" \
  "$root/usr/bin/update" -s orb
wait $boxsim
echo "package works from a fresh tree"
