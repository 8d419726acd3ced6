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
    # A checkout's state (the release's date, the tests' copies of the
    # sources); signing and attaching signatures, with the system's roots to
    # verify them against; the signing test's throwaway certificates.
    git osslsigncode ca-certificates openssl
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
