#!/usr/bin/env bash
# Builds the program and runs the whole test suite: once as released (warnings
# are errors), once under AddressSanitizer and UndefinedBehaviorSanitizer, and
# a short run of every fuzz target.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
jobs=$(nproc)

run_suite() {
  local dir=$1; shift
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DUPDATE_WERROR=ON "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
  (cd "$dir" && ctest --output-on-failure -j "$jobs")
}

echo "== release build =="
run_suite build
echo "== sanitizer build =="
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 run_suite build-sanitize -DUPDATE_SANITIZE=ON
echo "== fuzzing, 10 s per target =="
scripts/fuzz.sh 10
