#!/bin/sh
# Filters the shared test frames with the Linux CPU module, then has the
# Windows test host compare its own CPU module's frames with them under Wine.
#   compare_with_linux.sh LINUX_BUILD EMULATOR WINTESTS REFERENCE_FILE [OPTION...]
# Options go to the test host (e.g. --modules=FOLDER).
set -eu
linux_build=$1 emulator=$2 wintests=$3 reference=$4
shift 4
if [ ! -x "$linux_build/quelmar_frames_reference" ] || [ ! -f "$linux_build/Quelmar_CPU.so" ]; then
  echo "no Linux build at $linux_build (build it first); skipping"
  exit 77
fi
"$linux_build/quelmar_frames_reference" "$linux_build/Quelmar_CPU.so" "$reference"
exec "$emulator" "$wintests" cpu_module_output_matches_linux_module "--reference=$reference" "$@"
