#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when any is missing.
# Idempotent and quiet: does nothing on a machine that already has them.
set -euo pipefail

packages=(cmake g++ make libgtest-dev libgmock-dev libbenchmark-dev ffmpeg
          clang-16 libclang-rt-16-dev
          g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 wine64 xvfb xauth)

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
