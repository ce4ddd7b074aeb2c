#!/usr/bin/env bash
# Builds the Debian package, has lintian check it (any error or warning fails
# the script) and proves it in a fresh directory tree: the package's own
# files, unpacked with dpkg -x, rehearse a satellite request (boxsim on a
# pseudo-terminal, update pointed at it) and complete a command line.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh dpkg-dev lintian
# Compiled with the flags Debian builds its packages with (optimisation, debug
# symbols, the full hardening set); CPack splits the symbols off into the
# -dbgsym package.
flags() { DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get "$1"; }
cmake -S . -B build-package -DCMAKE_BUILD_TYPE=None -DUPDATE_TESTS=OFF \
  -DCMAKE_C_FLAGS="$(flags CPPFLAGS) $(flags CFLAGS)" -DCMAKE_CXX_FLAGS="$(flags CPPFLAGS) $(flags CXXFLAGS)" \
  -DCMAKE_EXE_LINKER_FLAGS="$(flags LDFLAGS)" >/dev/null
cmake --build build-package -j "$(nproc)"
rm -f build-package/update_*.deb build-package/update-dbgsym_*.ddeb
(cd build-package && cpack >/dev/null)
deb=$(ls build-package/update_*.deb)
ddeb=$(ls build-package/update-dbgsym_*.ddeb)
version=$(dpkg-deb -f "$deb" Version)
echo "package: $deb, debug symbols: $ddeb"
dpkg-deb -I "$deb" | grep -E 'Package|Version|Depends'

# The changelog's newest entry is this version.
dpkg-deb --fsys-tarfile "$deb" | tar -xO ./usr/share/doc/update/changelog.gz | gzip -d | head -1 |
  grep -qF "update ($version)" || { echo "packaging/changelog has no entry for $version on top" >&2; exit 1; }

echo "== lintian =="
lintian --fail-on error,warning "$deb" "$ddeb"
echo "lintian: no error, no warning"

root=$(mktemp -d)
boxsim=""
trap 'if [ -n "$boxsim" ]; then kill "$boxsim" 2>/dev/null || true; fi; rm -rf "$root"' EXIT
dpkg -x "$deb" "$root"
find "$root" -type f | sed "s|$root||" | sort

"$root/usr/bin/update" -V >"$root/listing.txt" && head -1 "$root/listing.txt"
gzip -t "$root/usr/share/man/man1/update.1.gz" "$root/usr/share/man/man1/boxsim.1.gz"
# The completion as bash-completion loads it (boxsim's file brings update's).
completions=$root/usr/share/bash-completion/completions
words=$(bash -c '. "$1/boxsim"; COMP_WORDS=("$2" --list-p); COMP_CWORD=1; _update "$2"; echo "${COMPREPLY[*]}"' \
  complete "$completions" "$root/usr/bin/update")
[ "$words" = "--list-ports" ] || { echo "completion of 'update --list-p' gave '$words'" >&2; exit 1; }
grep -q 'ID_MM_DEVICE_IGNORE}="1"' "$root/usr/lib/udev/rules.d/70-update-serial-adapters.rules"

"$root/usr/bin/boxsim" --bootloader 4.20 --full-speed --expect satellite:6 --timeout 30 --link "$root/com1" &
boxsim=$!
for _ in $(seq 100); do [ -e "$root/com1" ] && break; sleep 0.05; done
UPDATE_COM1="$root/com1" UPDATE_COM2="$root/none" UPDATE_COM3="$root/none" UPDATE_COM4="$root/none" \
  "$root/usr/bin/update" -s orb
wait $boxsim
echo "package works from a fresh tree"
