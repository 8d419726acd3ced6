#!/usr/bin/env bash
# Installs what the build, the tests and the emulated runs need, from
# Debian's packages only. Does nothing when everything is there already.
set -euo pipefail

packages=(
    cmake ninja-build g++ make python3
    googletest libbenchmark-dev
    g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
    wine64 xvfb xdotool imagemagick x11-utils
    procps
    clang libclang-rt-14-dev llvm-14 curl
)

missing=()
for p in "${packages[@]}"; do
    status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
    [[ "$status" == "install ok installed" ]] || missing+=("$p")
done

if ((${#missing[@]})); then
    echo "setup: installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update
    apt-get install -y --no-install-recommends "${missing[@]}"
fi
