#!/usr/bin/env bash
# The developer's loop: builds the program as released (warnings are errors)
# and runs the whole test suite once. CI (.ci/run) runs this first and then
# the sanitizer build, the fuzz run and the Windows suite.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
. scripts/suite.sh

echo "== release build =="
run_suite build ""
