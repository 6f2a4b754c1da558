#!/usr/bin/env bash
# Fills DIR with what scripts/gpu-check.sh --prebuilt DIR runs on a machine
# with an NVIDIA GPU but no package registry and no nvcc: the shipped Linux
# modules (exact device code), a CUDA module whose device code uses the
# hardware ex2.approx (to measure what exactness costs), vdhost and the
# check's program, and a manifest saying what they are. Refuses a build whose
# device code is not the shipped set (the pinned ptxas 12.8 is required).
#
#   scripts/gpu-prebuilt.sh DIR
set -euo pipefail
cd "$(dirname "$0")/.."

if [[ $# -ne 1 ]]; then
  echo "usage: scripts/gpu-prebuilt.sh DIR" >&2
  exit 2
fi
out=$1
scripts/setup.sh device-tools

# One build directory per variant; the exact one is the shipped module.
build_variant() {
  local dir=$1
  shift
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release "$@" >/dev/null
  local coverage
  coverage=$(sed -n 's/^QUELMAR_DEVICE_COVERAGE:INTERNAL=//p' "$dir/CMakeCache.txt")
  if [[ $coverage != r570 ]]; then
    echo "gpu-prebuilt: $dir's device code is '$coverage', not the shipped set (ptxas 12.8: sm_60 to sm_120, PTX ISA 8.7)" >&2
    exit 1
  fi
  cmake --build "$dir" -j"$(nproc)" --target Quelmar_CUDA Quelmar_CPU vdhost quelmar_gpucheck >/dev/null
}
build_variant build-gpucheck -DQUELMAR_HARDWARE_EXP2=OFF
build_variant build-gpucheck-ex2 -DQUELMAR_HARDWARE_EXP2=ON

rm -rf "$out"
mkdir -p "$out"
cp build-gpucheck/Quelmar_CUDA.so build-gpucheck/Quelmar_CPU.so build-gpucheck/vdhost \
   build-gpucheck/quelmar_gpucheck "$out/"
cp build-gpucheck-ex2/Quelmar_CUDA.so "$out/Quelmar_CUDA_ex2.so"
{
  echo "commit $(git rev-parse HEAD 2>/dev/null || echo unknown)$(git diff --quiet 2>/dev/null || echo ' (with local changes)')"
  echo "device-code r570"
  echo "built $(date -u +%Y-%m-%dT%H:%M:%SZ) on $(uname -srm), $(g++ --version | head -n1)"
} >"$out/manifest.txt"
du -sh "$out"
