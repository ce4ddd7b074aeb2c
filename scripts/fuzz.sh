#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in their own build directory
# (build-fuzz) and runs each for a few seconds from its committed corpus.
#
#   scripts/fuzz.sh [SECONDS] [TARGET...]
#
# SECONDS per target (default 10); TARGETs default to all of them. New inputs
# found go to build-fuzz/corpus/<target>/, never into the committed corpus;
# an input that breaks a property is kept as build-fuzz/crash-<target>-*, and
# the script fails. A longer run, for example an hour per target on two cores:
#
#   FUZZ_JOBS=2 scripts/fuzz.sh 3600
#
# FUZZ_SEED fixes libFuzzer's random seed: the run then tries the same inputs
# in the same order every time, and a short run finds what it found before
# (the test suite's run uses it, so that a finding is a reproducible failure
# and not a matter of luck).
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-10}
shift || true
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  targets=(image_check packing reply_wait transfer box_model boxsim_options trace_reader)
fi
jobs=${FUZZ_JOBS:-1}

# clang and its fuzzer runtime (Debian and Ubuntu names), with the build's own needs.
scripts/install-deps.sh clang libclang-rt-dev

build=build-fuzz
# As in scripts/suite.sh: a fresh clone reuses what an earlier one compiled.
export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$PWD} CCACHE_NOHASHDIR=${CCACHE_NOHASHDIR:-true}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache \
  -DUPDATE_SANITIZE=ON -DUPDATE_FUZZ=ON >/dev/null
cmake --build "$build" -j "$(nproc)" --target "${targets[@]/#/fuzz_}"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
failed=()
for target in "${targets[@]}"; do
  corpus="$build/corpus/$target"
  mkdir -p "$corpus"
  log="$build/fuzz-$target.log"
  echo "== fuzz_$target: ${seconds} s =="
  # The run's corpus directory comes first: what it finds is written there,
  # and the committed seeds are read alongside.
  extra=()
  [ "$jobs" -gt 1 ] && extra+=(-fork="$jobs")
  [ -n "${FUZZ_SEED:-}" ] && extra+=(-seed="$FUZZ_SEED")
  [ -f "tests/fuzz/dict/$target.dict" ] && extra+=(-dict="tests/fuzz/dict/$target.dict")
  if "$build/tests/fuzz/fuzz_$target" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 \
       -print_final_stats=1 "${extra[@]}" -artifact_prefix="$build/crash-$target-" \
       "$corpus" "tests/fuzz/corpus/$target" >"$log" 2>&1; then
    result=ok
  else
    result=FAILED
    failed+=("$target")
  fi
  # The last status line and the final statistics.
  grep -E '^#[0-9]+' "$log" | tail -1 || true
  grep -E '^stat::(number_of_executed_units|average_exec_per_sec|peak_rss_mb)' "$log" | tr '\n' ' ' || true
  echo
  echo "   $result (log: $log)"
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzzing broke a property in: ${failed[*]}; see $build/crash-* and the logs" >&2
  exit 1
fi
