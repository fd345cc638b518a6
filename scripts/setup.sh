#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the benchmarks need.
# Only missing packages are installed, so a second run costs a dpkg query.
set -euo pipefail

packages=(
    cmake ninja-build g++ clang pkg-config
    libgtest-dev libgmock-dev libbenchmark-dev
    libpng-dev libcli11-dev
    libopencv-dev
    ffmpeg
    mingw-w64
    wine64-tools    # the IDL compiler for kaldprop.dll's type library
)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done

if [ ${#missing[@]} -gt 0 ]; then
    echo "setup: installing ${missing[*]}"
    sudo_cmd=""
    if [ "$(id -u)" != 0 ]; then sudo_cmd="sudo"; fi
    export DEBIAN_FRONTEND=noninteractive
    $sudo_cmd apt-get update -qq
    $sudo_cmd apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
