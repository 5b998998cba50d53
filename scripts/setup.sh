#!/usr/bin/env bash
# setup.sh - prepare a Debian 12 machine to build and run the plugin: install
# what is missing (as root) and build a Release tree in build/.
#
# Safe to run again: packages are only installed when missing (one
# "apt-get update" then), and an existing build tree is only brought up to date.
set -euo pipefail

top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="$top/build"
packages=(cmake g++ make libgtest-dev libbenchmark-dev spamassassin spamc python3)

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$package")
    fi
done

if ((${#missing[@]} > 0)); then
    if [[ $(id -u) -ne 0 ]]; then
        echo "setup.sh: missing packages: ${missing[*]}; run this script as root to install them" >&2
        exit 1
    fi
    echo "setup.sh: installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q
    apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

if [[ ! -f "$build/CMakeCache.txt" ]]; then
    cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release
fi
cmake --build "$build" -j "$(nproc)"
