#!/usr/bin/env bash
# GPU check, for a machine with an NVIDIA GPU and driver (no CUDA toolkit
# needed there). Runs the pipeline on the same textured 10-frame sequence
# through the CPU and the CUDA backends and compares them, then times each
# pipeline step on the GPU at 1920x1080 and 3840x2160. Exits non-zero on any
# mismatch or failure.
#
#   scripts/gpu-check.sh [BUILD_DIR] [WxH for the comparison]
#
# BUILD_DIR (default build/) must come from a build with the device binary
# embedded (QUELMAR_FATBIN=ON, the default where nvcc is found).
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build}
compareSize=${2:-960x540}
cpu=$build/quelmar_gpucheck_cpu
gpu=$build/quelmar_gpucheck_cuda
for exe in "$cpu" "$gpu"; do
  [[ -x $exe ]] || { echo "missing $exe: build the tests first" >&2; exit 2; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

echo "== pipeline, CPU backend against CUDA backend ($compareSize, 10 frames)"
"$cpu" run "$work/cpu.bin" "$compareSize" 10 1
"$gpu" run "$work/gpu.bin" "$compareSize" 10 1
status=0
"$cpu" compare "$work/cpu.bin" "$work/gpu.bin" || status=1

echo
echo "== CUDA backend timings (device events; mean of 20 frames after 3 warm-up)"
"$gpu" time 1920x1080 20 --header || status=1
"$gpu" time 3840x2160 20 || status=1

exit $status
