#!/usr/bin/env bash
# Side by side on one synthetic 1920x1080 clip of 12 frames (a textured scene
# under a moving camera, Gaussian noise of sigma 10 and of sigma 20): the CPU
# module through vdhost with default settings, against ffmpeg's hqdn3d,
# fftdnoiz and vaguedenoiser on the same frames as gbrp. Each filter is timed
# as a whole process, the best of REPEAT runs (3 by default: the machine may
# be busy with other work); the table gives frames/s, how many times faster
# the CPU module is, and PSNR-Y against the clean clip. With a Windows build and Wine,
# it also times the Windows CPU DLL against the Linux module per frame.
# BASELINE=DIR adds the CPU module of another build tree (an older commit, say)
# to the tables, and BASELINE_WINDOWS=DIR that tree's Windows DLL to the
# per-frame times, for before-and-after numbers from one run.
#   [REPEAT=N] [BASELINE=DIR [BASELINE_WINDOWS=DIR]] bench/compare.sh [BUILD_DIR=build] [WINDOWS_BUILD_DIR=build-windows]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
winbuild=${2:-build-windows}
width=1920 height=1080 frames=12
size=${width}x${height}

cmake --build "$build" --target vdhost Quelmar_CPU quelmar_clip quelmar_frametime >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Wall-clock seconds of a command: the best of REPEAT runs.
seconds() {
  local start end run best=""
  for ((run = 0; run < ${REPEAT:-3}; run++)); do
    start=$(date +%s.%N)
    "$@"
    end=$(date +%s.%N)
    best=$(awk -v a="$start" -v b="$end" -v m="$best" 'BEGIN { t = b - a; if (m != "" && m < t) t = m; printf "%.3f", t }')
  done
  echo "$best"
}

ffmpeg_filter() {  # FILTER OUTPUT
  ffmpeg -nostdin -v error -f rawvideo -pix_fmt gbrp -s "$size" -i "$work/noisy.gbrp" \
         -vf "$1" -f rawvideo -pix_fmt gbrp -y "$2"
}

quelmar() {  # BUILD OUTPUT
  "$1/vdhost" --module "$1/Quelmar_CPU.so" --size "$size" <"$work/noisy.bgra" >"$2" 2>/dev/null
}

row() {  # NAME SECONDS PSNR OURS_SECONDS
  awk -v n="$1" -v s="$2" -v p="$3" -v q="$4" -v f="$frames" \
      'BEGIN { printf "| %-34s | %7.2f s | %6.2f | %6.2fx | %5.2f dB |\n", n, s, f / s, s / q, p }'
}

echo "machine: $(lscpu | sed -n 's/^Model name: *//p'), $(nproc) CPUs; $(ffmpeg -version | head -1 | cut -d' ' -f1-3)"
for sigma in 10 20; do
  "$build/quelmar_clip" make "$width" "$height" "$frames" "$sigma" "$work/clean.bgra" "$work/noisy.bgra"
  ffmpeg -nostdin -v error -f rawvideo -pix_fmt bgra -s "$size" -i "$work/noisy.bgra" \
         -f rawvideo -pix_fmt gbrp -y "$work/noisy.gbrp"
  ours=$(seconds quelmar "$build" "$work/out.bgra")
  echo
  echo "sigma $sigma, $size, $frames frames (noisy: $("$build/quelmar_clip" psnr "$width" "$height" bgra \
       "$work/clean.bgra" "$work/noisy.bgra") dB); the ratio is how many times faster the CPU module is"
  echo
  echo "| filter                             | 12 frames | fps    | ratio   | PSNR-Y   |"
  echo "|---|---|---|---|---|"
  row "CPU module (vdhost, defaults)" "$ours" \
      "$("$build/quelmar_clip" psnr "$width" "$height" bgra "$work/clean.bgra" "$work/out.bgra")" "$ours"
  if [ -n "${BASELINE:-}" ]; then
    t=$(seconds quelmar "$BASELINE" "$work/out.bgra")
    row "CPU module of $BASELINE" "$t" \
        "$("$build/quelmar_clip" psnr "$width" "$height" bgra "$work/clean.bgra" "$work/out.bgra")" "$ours"
  fi
  for filter in hqdn3d=15:15:20:20 fftdnoiz=sigma=40 vaguedenoiser=threshold=20; do
    t=$(seconds ffmpeg_filter "$filter" "$work/out.gbrp")
    row "ffmpeg $filter" "$t" \
        "$("$build/quelmar_clip" psnr "$width" "$height" gbrp "$work/clean.bgra" "$work/out.gbrp")" "$ours"
  done
done

# The same frames (the sigma 20 clip) through both CPU modules, per frame.
if [ -f "$winbuild/Quelmar_CPU.dll" ] && [ -f "$winbuild/quelmar_frametime.exe" ] &&
   { command -v wine64 || command -v wine || [ -x /usr/lib/wine/wine64 ]; } >/dev/null; then
  cmake --build "$winbuild" --target Quelmar_CPU quelmar_frametime >/dev/null
  echo
  frametime() {  # LINUX_BUILD WINDOWS_BUILD
    echo "  Linux module ($1): $("$build/quelmar_frametime" "$1/Quelmar_CPU.so" "$width" "$height" "$work/noisy.bgra")"
    echo "  Windows DLL under Wine ($2): $(scripts/wine-run.sh "$PWD/$winbuild/quelmar_frametime.exe" \
         "$(realpath "$2")/Quelmar_CPU.dll" "$width" "$height" "$work/noisy.bgra" | tr -d '\r')"
  }
  echo
  echo "Time per frame of the run callback, sigma 20 clip:"
  frametime "$build" "$winbuild"
  if [ -n "${BASELINE:-}" ] && [ -f "${BASELINE_WINDOWS:-}/Quelmar_CPU.dll" ]; then
    frametime "$BASELINE" "$BASELINE_WINDOWS"
  fi
fi
