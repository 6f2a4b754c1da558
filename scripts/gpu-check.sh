#!/usr/bin/env bash
# GPU check, for a machine with an NVIDIA GPU and its driver. It runs what we
# ship: the modules built with the pinned ptxas 12.8 (sm_60 to sm_120 and PTX
# ISA 8.7), and refuses, saying why, a build whose device code is anything
# else. Either it builds them here (cmake, a C++ compiler, the CUDA toolkit and
# the pinned tools, scripts/gpu-prebuilt.sh), or it takes them prebuilt from
# DIR, for a GPU machine with no registry and no nvcc. Then:
#   1. the GPU report (vdhost --gpu-info): driver, each GPU with its compute
#      capability, and which image loaded; it stops here, loudly, where
#      Quelmar_CUDA.so cannot filter;
#   2. Quelmar_CUDA.so against Quelmar_CPU.so through the plug-in ABI, byte
#      for byte: BGRA and YUY2, at 1918x1080, 641x361 and a portrait 361x641,
#      with settings for radius 3, 4 and 5, 24 frames so that profiling and
#      feedback run;
#   3. each pipeline step, the whole frame through the module with its host
#      copies, and the transfer floor (pageable and page-locked memory), at
#      1920x1080 and 3840x2160, for the exact module and for the one whose
#      device code uses the hardware ex2.approx;
#   4. vdhost's demo at 1920x1080 with each module (frames/s).
# Everything printed also goes to RESULTS_DIR (for bench/results/). Exit
# status 0 when every step passed.
#
#   scripts/gpu-check.sh RESULTS_DIR
#   scripts/gpu-check.sh --prebuilt DIR RESULTS_DIR
set -euo pipefail
cd "$(dirname "$0")/.."

usage() {
  echo "usage: scripts/gpu-check.sh RESULTS_DIR" >&2
  echo "       scripts/gpu-check.sh --prebuilt DIR RESULTS_DIR" >&2
  exit 2
}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
if [[ ${1:-} == --prebuilt ]]; then
  [[ $# -eq 3 ]] || usage
  bin=$(cd "$2" && pwd)
  results_arg=$3
else
  [[ $# -eq 1 ]] || usage
  results_arg=$1
  echo "== build"
  scripts/gpu-prebuilt.sh "$work/prebuilt" || {
    echo "gpu-check: FAILED: could not build the shipped modules (above)" >&2
    exit 1
  }
  bin=$work/prebuilt
fi
mkdir -p "$results_arg"
results=$(cd "$results_arg" && pwd)

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
for f in Quelmar_CUDA.so Quelmar_CUDA_ex2.so Quelmar_CPU.so vdhost quelmar_gpucheck manifest.txt; do
  [[ -e $bin/$f ]] || fail "$bin has no $f (fill it with scripts/gpu-prebuilt.sh)"
done
grep -qx "device-code r570" "$bin/manifest.txt" ||
  fail "$bin's device code is not the shipped set (sm_60 to sm_120 by ptxas 12.8, PTX ISA 8.7)"

{
  cat "$bin/manifest.txt"
  echo "cpu: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//'), $(nproc) threads"
  if command -v nvidia-smi >/dev/null; then
    nvidia-smi --query-gpu=name,driver_version,memory.total,clocks.max.sm --format=csv
  fi
} >"$results/machine.txt" 2>&1

step gpu-info "$bin/vdhost" --gpu-info ||
  fail "Quelmar_CUDA.so cannot filter on this machine (the report above says why)"

status=0
step compare "$bin/quelmar_gpucheck" compare "$bin/Quelmar_CUDA.so" "$bin/Quelmar_CPU.so" \
  --sizes 1918x1080,641x361,361x641 --frames 24 --exact ||
  { status=1; echo "gpu-check: the modules disagree" >>"$results/summary.txt"; }
timings() {
  echo "-- exact device code (shipped)"
  "$bin/quelmar_gpucheck" time "$bin/Quelmar_CUDA.so" --sizes 1920x1080,3840x2160 &&
    echo "-- hardware ex2.approx (benchmark only)" &&
    "$bin/quelmar_gpucheck" time "$bin/Quelmar_CUDA_ex2.so" --sizes 1920x1080,3840x2160
}
step timings timings || { status=1; echo "gpu-check: a timing run failed" >>"$results/summary.txt"; }

# The demo's own throughput line; no video is encoded (no ffmpeg on its PATH).
demo() {
  local module=$1
  mkdir -p "$work/no-tools"
  PATH="$work/no-tools" "$bin/vdhost" demo --module "$bin/$module" --size 1920x1080 --frames 24 \
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
