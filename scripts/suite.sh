# Sourced by scripts/test.sh and .ci/run: configures, builds and runs the whole
# test suite in one build directory.
#
#   run_suite DIR "CTEST ARGS" [CMAKE ARGS...]
#
# Compiles go through ccache with paths taken relative to the clone, so a
# fresh clone anywhere reuses what an earlier clone of a similar commit
# compiled: only what changed is compiled again.
#
# The end-to-end tests spend most of their time in the dialogue's fixed pauses
# and wait on events, not on time, so three times as many run at once as there
# are cores; the longest start first (their COST in the test tree). A test
# that fails fails the suite.
export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$PWD} CCACHE_NOHASHDIR=${CCACHE_NOHASHDIR:-true}

run_suite() {
  local dir=$1 ctest_args=$2 jobs
  shift 2
  jobs=$(nproc)
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DUPDATE_WERROR=ON \
    -DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
  # shellcheck disable=SC2086  # ctest_args holds several arguments
  (cd "$dir" && ctest --output-on-failure -j $((jobs * 3)) $ctest_args)
}
