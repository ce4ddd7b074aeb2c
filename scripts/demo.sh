#!/usr/bin/env bash
# Builds the program and shows what it does.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target update

echo "\$ update"
build/src/update || true
echo "\$ update -V"
build/src/update -V
