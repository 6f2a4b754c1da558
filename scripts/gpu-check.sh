#!/usr/bin/env bash
# GPU check, for a machine with an NVIDIA GPU, its driver, cmake, a C++
# compiler and the CUDA toolkit (nvcc). From a clean checkout it builds what it
# needs (the pinned ptxas is installed when it can be; without it, nvcc alone
# makes the device binary), then:
#   1. the GPU report (vdhost --gpu-info): driver, each GPU with its compute
#      capability, and whether our kernels load; it stops here, loudly, where
#      Quelmar_CUDA.so cannot filter (no driver or GPU, a build without device
#      code, kernels the driver refuses);
#   2. Quelmar_CUDA.so against Quelmar_CPU.so through the plug-in ABI, BGRA and
#      YUY2, at 1918x1080 and 641x361, with settings for radius 3, 4 and 5 and
#      with noise profiling;
#   3. each pipeline step, the whole frame through the module with its host
#      copies, and the transfer floor (pageable and page-locked memory), at
#      1920x1080 and 3840x2160;
#   4. vdhost's demo at 1920x1080 with each module (frames/s).
# Everything printed also goes to RESULTS_DIR (for bench/results/). Exit
# status 0 when every step passed.
#
#   scripts/gpu-check.sh RESULTS_DIR [BUILD_DIR=build]
set -euo pipefail
cd "$(dirname "$0")/.."

if [[ $# -lt 1 ]]; then
  echo "usage: scripts/gpu-check.sh RESULTS_DIR [BUILD_DIR=build]" >&2
  exit 2
fi
mkdir -p "$1"
results=$(cd "$1" && pwd)
build=${2:-build}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fail() {
  echo "gpu-check: FAILED: $*" | tee -a "$results/summary.txt" >&2
  exit 1
}

# Runs a step, its output on the terminal and in RESULTS_DIR/NAME.txt.
step() {
  local name=$1
  shift
  echo
  echo "== $name"
  "$@" 2>&1 | tee "$results/$name.txt"
  return "${PIPESTATUS[0]}"
}

: > "$results/summary.txt"
echo "== build ($build)"
scripts/setup.sh device-tools ||
  echo "gpu-check: the pinned ptxas could not be installed; the device binary is nvcc's alone" >&2
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release >"$work/configure.log" || {
  cat "$work/configure.log" >&2
  fail "configuring $build"
}
grep "Quelmar:" "$work/configure.log" || true
cmake --build "$build" -j"$(nproc)" --target Quelmar_CUDA Quelmar_CPU vdhost quelmar_gpucheck >"$work/build.log" || {
  tail -n 40 "$work/build.log" >&2
  fail "building"
}

{
  echo "commit: $(git rev-parse HEAD 2>/dev/null || echo unknown)"
  echo "cpu: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//'), $(nproc) threads"
  if command -v nvidia-smi >/dev/null; then
    nvidia-smi --query-gpu=name,driver_version,memory.total,clocks.max.sm --format=csv
  fi
} >"$results/machine.txt" 2>&1

step gpu-info "$build/vdhost" --gpu-info ||
  fail "Quelmar_CUDA.so cannot filter on this machine (the report above says why)"

status=0
step compare "$build/quelmar_gpucheck" compare "$build/Quelmar_CUDA.so" "$build/Quelmar_CPU.so" \
  --sizes 1918x1080,641x361 || { status=1; echo "gpu-check: the modules disagree" >>"$results/summary.txt"; }
step timings "$build/quelmar_gpucheck" time "$build/Quelmar_CUDA.so" --sizes 1920x1080,3840x2160 ||
  { status=1; echo "gpu-check: a timing run failed" >>"$results/summary.txt"; }

# The demo's own throughput line; no video is encoded (no ffmpeg on its PATH).
demo() {
  local module=$1
  mkdir -p "$work/no-tools"
  PATH="$work/no-tools" "$build/vdhost" demo --module "$build/$module" --size 1920x1080 --frames 24 \
    --out "$work/demo-$module" 2>/dev/null | sed -n "s/^filter throughput/$module/p"
}
demos() { demo Quelmar_CUDA.so && demo Quelmar_CPU.so; }
step demo demos || { status=1; echo "gpu-check: the demo failed" >>"$results/summary.txt"; }

echo
if [[ $status -eq 0 ]]; then
  echo "gpu-check: passed; results in $results" | tee -a "$results/summary.txt"
else
  cat "$results/summary.txt" >&2
fi
exit $status
