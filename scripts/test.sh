#!/usr/bin/env bash
# Runs every test: installs what is missing, builds the Linux modules and tests,
# runs them, then runs the CPU tests again under ASan/UBSan, then builds the
# Windows DLLs and runs their tests under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
jobs=$(nproc)

cmake --preset default >/dev/null
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs"

cmake --preset asan >/dev/null
cmake --build build-asan -j"$jobs"
# Also a host buffer written after the call that owned it returned.
ASAN_OPTIONS=detect_stack_use_after_return=1 ctest --test-dir build-asan --output-on-failure -j"$jobs"

# The Windows DLLs, cross-built with mingw-w64, and their tests: the test host
# runs under Wine on a virtual X display (the Wine prefix lives in the build tree).
cmake --preset windows >/dev/null
cmake --build build-windows -j"$jobs"
ctest --test-dir build-windows --output-on-failure -j"$jobs"
