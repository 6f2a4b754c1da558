#!/usr/bin/env bash
# Runs every test: installs what is missing, builds the Linux modules and tests,
# runs them, then runs the CPU tests again under ASan/UBSan, fuzzes the run
# callback for two minutes, then builds the Windows DLLs and runs their tests
# under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
jobs=$(nproc)

cmake --preset default >/dev/null
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs"

cmake --preset asan >/dev/null
cmake --build build-asan -j"$jobs"
# Also a host buffer written after the call that owned it returned. The
# runtime's __tls_get_addr interception is off: in GCC 12's it now and then
# takes a module's thread-local block (every module has some) for an old
# glibc's and crashes the leak checker at exit, after the test has passed.
ASAN_OPTIONS=detect_stack_use_after_return=1:intercept_tls_get_addr=0 \
  ctest --test-dir build-asan --output-on-failure -j"$jobs"

# The fuzzer (clang 16, libFuzzer with ASan/UBSan): a bounded run from the
# committed seeds. Any finding fails the run; its input is kept in build-fuzz/findings/.
# The module's own standard error (its pass-through lines) is closed; libFuzzer's
# and the sanitizers' reports still reach the log.
cmake --preset fuzz >/dev/null
cmake --build build-fuzz -j"$jobs" --target quelmar_fuzz_run
rm -rf build-fuzz/corpus && mkdir -p build-fuzz/corpus build-fuzz/findings
if ! build-fuzz/quelmar_fuzz_run -max_total_time="${QUELMAR_FUZZ_SECONDS:-120}" -timeout=10 \
       -max_len=512 -len_control=0 -print_final_stats=1 -close_fd_mask=2 -artifact_prefix=build-fuzz/findings/ \
       build-fuzz/corpus tests/fuzz/corpus >build-fuzz/fuzz.log 2>&1; then
  tail -n 80 build-fuzz/fuzz.log >&2
  echo "fuzzer: a finding; its input is in build-fuzz/findings/" >&2
  exit 1
fi
grep -E "DONE|number_of_executed_units" build-fuzz/fuzz.log || true

# The Windows DLLs, cross-built with mingw-w64, and their tests: the test host
# runs under Wine on a virtual X display (the Wine prefix lives in the build tree).
cmake --preset windows >/dev/null
cmake --build build-windows -j"$jobs"
ctest --test-dir build-windows --output-on-failure -j"$jobs"
