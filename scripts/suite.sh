# Sourced by scripts/test.sh and .ci/run: configures, builds and runs the whole
# test suite in one build directory.
#
#   run_suite DIR "CTEST ARGS" [CMAKE ARGS...]
#
# Compiles go through ccache: building a tree that differs little from one
# built before at the same path (a fresh clone of the next commit) compiles
# only what changed.
#
# The end-to-end tests spend most of their time in the dialogue's fixed pauses,
# so twice as many run at once as there are cores. A test that fails is run
# once more, and only a second failure fails the suite: on a busy machine the
# emulator can still drop the line before the program has read the box's last
# words (the fault matrix's hang-ups at the menu), which no test can wait out.
run_suite() {
  local dir=$1 ctest_args=$2 jobs
  shift 2
  jobs=$(nproc)
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DUPDATE_WERROR=ON \
    -DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
  # shellcheck disable=SC2086  # ctest_args holds several arguments
  (cd "$dir" && ctest --output-on-failure --repeat until-pass:2 -j $((jobs * 2)) $ctest_args)
}
