#!/usr/bin/env bash
# Runs every test: installs what is missing, builds the Linux modules and tests,
# runs them, then runs the CPU tests again under ASan/UBSan.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
jobs=$(nproc)

cmake --preset default >/dev/null
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs"

cmake --preset asan >/dev/null
cmake --build build-asan -j"$jobs"
ctest --test-dir build-asan --output-on-failure -j"$jobs"
