#!/usr/bin/env bash
# setup.sh - install what the plugin, its tests and its demo need on Debian 12,
# then configure and build the plugin (Release) into build/.
# Idempotent: packages are installed only when missing, and the build is incremental.
# The operations test (scripts/test-ops.sh) needs the manual page tools, lintian,
# dpkg-dev for the package and node_exporter to read the metrics, the rspamd
# tests rspamd and Redis; these come without their recommendations, and the
# services of node_exporter, rspamd and Redis are not started.
set -euo pipefail
cd "$(dirname "$0")/.."

# libssl-dev: TLS to remote spamd hosts; openssl and libio-socket-ssl-perl: the
# farm tests make a certificate and run spamd with --ssl; nlohmann-json3-dev:
# rspamd's JSON replies; clang-14: the fuzz targets (scripts/fuzz.sh, libFuzzer).
packages=(cmake g++ make libgtest-dev libbenchmark-dev python3 spamassassin spamc libssl-dev openssl
          libio-socket-ssl-perl nlohmann-json3-dev clang-14 libclang-rt-14-dev)
# rspamd: the tests start a private one of their own, so its service must not
# start when the package is installed; node_exporter likewise.
# redis-server: rspamd keeps its Bayes statistics only in Redis; the learning
# tests start a private one.
ops_packages=(mandoc man-db lintian dpkg-dev curl prometheus-node-exporter rspamd redis-server)

missing_of() {
  local p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || echo "$p"
  done
}
mapfile -t missing < <(missing_of "${packages[@]}")
mapfile -t missing_ops < <(missing_of "${ops_packages[@]}")
if [ $((${#missing[@]} + ${#missing_ops[@]})) -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "setup: missing packages ${missing[*]} ${missing_ops[*]}; run as root to install them" >&2
    exit 1
  fi
  apt-get update -qq
fi
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]} (spamassassin compiles its rules once; this takes a minute or two)"
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi
if [ ${#missing_ops[@]} -gt 0 ]; then
  echo "setup: installing ${missing_ops[*]}"
  # The tests run node_exporter and rspamd themselves, on loopback ports: their
  # services must not start (and listen on every address) when the packages
  # are installed.
  policy=/usr/sbin/policy-rc.d
  made_policy=0
  if [ ! -e "$policy" ]; then
    printf '#!/bin/sh\nexit 101\n' >"$policy"
    chmod 755 "$policy"
    made_policy=1
  fi
  status=0
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing_ops[@]}" >/dev/null || status=$?
  [ $made_policy -eq 0 ] || rm -f "$policy"
  [ $status -eq 0 ] || exit $status
fi

jobs=$(nproc 2>/dev/null || echo 2)
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release ${VSA_CMAKE_ARGS:-} >/dev/null
cmake --build build -j"$jobs" >/dev/null
echo "setup: built build/VelmoraSpamAssassin"
