#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test.
#   scripts/test.sh                       the normal build, in build/
#   BUILD_DIR=build-asan scripts/test.sh -DTOLVANE_SANITIZE=ON
# Further arguments go to cmake.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh "$@"
build=${BUILD_DIR:-build}
cmake -S . -B "$build" -G Ninja -DTOLVANE_WERROR=ON -DTOLVANE_THREAD_CHECKS=ON "$@"
cmake --build "$build" -j2
ctest --test-dir "$build" -j2 --output-on-failure
