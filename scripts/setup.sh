#!/usr/bin/env bash
# Installs what the build and the tests need, when any of it is missing:
# Debian packages, and the pinned device-code tools from PyPI
# (scripts/device-tools.txt, into .toolchain/). Idempotent and quiet: does
# nothing on a machine that already has them.
#   scripts/setup.sh [device-tools]
# "device-tools" installs only the latter: what the GPU check needs beside
# cmake, a C++ compiler and the CUDA toolkit.
set -euo pipefail
cd "$(dirname "$0")/.."

install_packages() {
  packages=(cmake g++ make libgtest-dev libgmock-dev libbenchmark-dev ffmpeg libcli11-dev libstb-dev
            clang-16 libclang-rt-16-dev
            g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 wine64 xvfb xauth)
  python3 -m pip --version >/dev/null 2>&1 || packages+=(python3-pip)

  missing=()
  for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
      missing+=("$p")
    fi
  done

  if ((${#missing[@]})); then
    echo "setup: installing ${missing[*]}" >&2
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq >/dev/null
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  fi
}

[[ ${1:-} == device-tools ]] || install_packages

# ptxas 12.8 for the device images (machine code that drivers since R525 load,
# PTX since R570). The stamp holds the requirements it was installed from, so
# a new pin reinstalls.
tools=.toolchain/cuda-12.8
if ! cmp -s scripts/device-tools.txt "$tools/.installed-from" 2>/dev/null; then
  echo "setup: installing the pinned device-code tools into $tools" >&2
  rm -rf "$tools"
  python3 -m pip install -q --disable-pip-version-check --root-user-action=ignore --no-deps --require-hashes \
    --retries 2 --timeout 20 \
    --target "$tools" -r scripts/device-tools.txt
  cp scripts/device-tools.txt "$tools/.installed-from"
fi
