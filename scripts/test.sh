#!/usr/bin/env bash
# Builds the program and runs the whole test suite: once as released (warnings
# are errors), once under AddressSanitizer and UndefinedBehaviorSanitizer, and
# a short run of every fuzz target.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
jobs=$(nproc)

# The end-to-end tests spend most of their time in the dialogue's fixed pauses,
# so a few more run at once than there are cores. They run real programs over
# real pseudo-terminals on a shared machine: a test that fails is run once more,
# and only a second failure fails the suite (ctest names both runs).
run_suite() {
  local dir=$1 ctest_args=$2; shift 2
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DUPDATE_WERROR=ON "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
  (cd "$dir" && ctest --output-on-failure --repeat until-pass:2 -j $((jobs + 1)) $ctest_args)
}

echo "== release build =="
run_suite build ""
echo "== sanitizer build (the load test runs in the release build only) =="
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 run_suite build-sanitize "-LE load" -DUPDATE_SANITIZE=ON
echo "== fuzzing, 10 s per target, fixed seed =="
FUZZ_SEED=${FUZZ_SEED:-1} scripts/fuzz.sh 10
