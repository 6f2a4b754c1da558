#!/usr/bin/env bash
# The main command: installs what is missing, builds the modules and vdhost
# when they are absent or out of date, then filters the built-in demo clip.
# Extra arguments go to `vdhost demo` (e.g. --frames 96 --size 1280x720).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh

if [[ ! -f build/CMakeCache.txt ]]; then
  cmake --preset default >/dev/null
fi
cmake --build build --target vdhost -j"$(nproc)" >/dev/null

exec build/vdhost demo --out build/demo "$@"
