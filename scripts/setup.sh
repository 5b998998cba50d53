#!/usr/bin/env bash
# setup.sh - install what the plugin, its tests and its demo need on Debian 12,
# then configure and build the plugin (Release) into build/.
# Idempotent: packages are installed only when missing, and the build is incremental.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake g++ make libgtest-dev libbenchmark-dev python3 spamassassin spamc)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "setup: missing packages ${missing[*]}; run as root to install them" >&2
    exit 1
  fi
  echo "setup: installing ${missing[*]} (spamassassin compiles its rules once; this takes a minute or two)"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi

jobs=$(nproc 2>/dev/null || echo 2)
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release ${VSA_CMAKE_ARGS:-} >/dev/null
cmake --build build -j"$jobs" >/dev/null
echo "setup: built build/VelmoraSpamAssassin"
