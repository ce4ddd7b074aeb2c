#!/bin/sh
# The end-to-end box sessions against update.exe under Wine: the tests and
# boxsim of the POSIX build, the program of the Windows build, the same
# assertions as for the POSIX program.
#
#   scripts/windows/e2e.sh [POSIX_BUILD_DIR [WINDOWS_BUILD_DIR]]
#                                       (defaults: build, build-windows)
#
# Runs inside wine-env.sh's guard; the tests find update.exe through
# UPDATE_E2E_WINE and publish boxsim's port where Wine's COM1 leads, so they
# run one at a time. A test that cannot hold under Wine skips and says why.
# The tests are those whose CMake file gives them the label wine.
# E2E_LABEL: another label to pick by, e.g. wine_ci (CI's part of them).
# E2E_CTEST_ARGS: more ctest arguments, e.g. "-R first_dialogue".
set -eu

here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/../.." && pwd)
posix=$(cd "${1:-$repo/build}" && pwd)
windows=$(cd "${2:-$repo/build-windows}" && pwd)

[ -f "$windows/update/src/update.exe" ] || { echo "e2e.sh: no $windows/update/src/update.exe; run scripts/windows/build.sh" >&2; exit 1; }
[ -x "$posix/sim/boxsim" ] || { echo "e2e.sh: no $posix/sim/boxsim; build the POSIX tree first" >&2; exit 1; }

exec "$here/wine-env.sh" "$windows" -- env UPDATE_E2E_WINE="$windows" \
    ctest --test-dir "$posix" -L "^${E2E_LABEL:-wine}\$" --no-tests=error --output-on-failure --timeout 900 ${E2E_CTEST_ARGS:-}
