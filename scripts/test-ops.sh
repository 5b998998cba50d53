#!/usr/bin/env bash
# test-ops.sh - what administrators operate the plugin with, tested the way
# they use it: the manual pages (mandoc -T lint, man -l), the Debian package
# (cpack, lintian, dpkg -i), "-check" from the installed path against a
# private spamd, the metrics file of a run read by node_exporter on a
# loopback port, and the package's removal.
#
# Runs as root on Debian 12 after scripts/setup.sh, which installs the tools.
# Leaves an existing installation of the package alone (and fails).  Cleans up
# after itself on any exit: spamd, node_exporter, the package, temporary files.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/private-spamd.sh

package=velmora-spamassassin
workdir=/var/lib/$package
settings=/etc/$package/VelmoraSpamAssassin.cfg
jobs=$(nproc 2>/dev/null || echo 2)
scratch=$(mktemp -d /tmp/vsa-ops-XXXXXX)
installed=0
exporter_pid=""
passed=0

cleanup() {
    local status=$?
    if [[ -n $exporter_pid ]]; then
        kill "$exporter_pid" 2>/dev/null || true
        wait "$exporter_pid" 2>/dev/null || true
    fi
    stop_private_spamd
    if [[ $installed -eq 1 ]]; then
        dpkg --purge "$package" >/dev/null 2>&1 || true
    fi
    rm -rf "$scratch"
    if [[ $status -eq 0 ]]; then
        echo "ops: $passed passed, 0 failed"
    else
        echo "ops: $passed passed, 1 failed" >&2
    fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

ok() { passed=$((passed + 1)); echo "ok: $*"; }
fail() {
    echo "FAILED: $1" >&2
    [[ $# -lt 2 || ! -f $2 ]] || head -n 40 "$2" | sed 's/^/    /' >&2
    exit 1
}

echo "== Operations: manual pages, package, check mode, metrics =="

# Manual pages: lint clean, and each renders through man.
if ! mandoc -T lint -W warning man/*.[158] >"$scratch/lint" 2>&1 || [[ -s $scratch/lint ]]; then
    fail "mandoc -T lint reports problems" "$scratch/lint"
fi
for page in man/*.[158]; do
    MANWIDTH=80 man -l "$page" >"$scratch/page" 2>"$scratch/man-errors" || fail "man -l $page" "$scratch/man-errors"
    [[ ! -s $scratch/man-errors && $(wc -l <"$scratch/page") -gt 50 ]] || fail "man -l $page" "$scratch/man-errors"
done
ok "manual pages lint clean and render"

# The package, from a tree configured for /usr.
cmake -S . -B build-deb -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr -DVSA_BUILD_TESTS=OFF >/dev/null
cmake --build build-deb -j"$jobs" >/dev/null
rm -f build-deb/${package}_*.deb
(cd build-deb && cpack -G DEB >"$scratch/cpack" 2>&1) || fail "cpack -G DEB" "$scratch/cpack"
deb=$(ls build-deb/${package}_*.deb)
lintian --fail-on error "$deb" >"$scratch/lintian" 2>&1 || fail "lintian reports errors on $deb" "$scratch/lintian"
grep -E '^[EW]: ' "$scratch/lintian" || true
ok "$deb built, lintian reports no errors"

if dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed"; then
    fail "$package is installed on this machine; the test would replace it, so it stops here"
fi
installed=1
dpkg -i "$deb" >"$scratch/dpkg" 2>&1 || fail "dpkg -i $deb" "$scratch/dpkg"
dpkg --verify "$package" || fail "installed files differ from the package"
[[ $(dpkg-query -W -f='${Conffiles}' "$package" | awk '{print $1}' | sort | tr '\n' ' ') == \
   "/etc/$package/VelmoraSpamAssassin.cfg /etc/$package/whitelist.txt " ]] || fail "conffiles"
[[ $(readlink -f $workdir/VelmoraSpamAssassin) == /usr/lib/$package/VelmoraSpamAssassin ]] || fail "working directory link"
# Installed, the pages' cross references resolve: the full lint, style included.
mkdir "$scratch/installed-pages"
for page in man1/velmora-replay.1 man5/VelmoraSpamAssassin.cfg.5 man8/VelmoraSpamAssassin.8; do
    zcat "/usr/share/man/$page.gz" >"$scratch/installed-pages/${page#*/}"
done
mandoc -T lint "$scratch"/installed-pages/* 2>&1 | grep -v 'outdated mandoc.db' >"$scratch/lint" || true
[[ ! -s $scratch/lint ]] || fail "mandoc -T lint on the installed pages" "$scratch/lint"
ok "installed with dpkg -i: conffiles, working directory links, pages lint clean"

# -check from the installed path: first as shipped (no spamd there), then
# pointed at a private spamd, then with a broken settings file.
set +e
"$workdir/VelmoraSpamAssassin" -check >"$scratch/check" 2>&1
status=$?
set -e
[[ $status -eq 1 ]] && grep -q '^\* error: spamd /var/run/spamd.sock: ' "$scratch/check" ||
    fail "-check of the shipped settings without spamd: status $status" "$scratch/check"

start_private_spamd "$scratch"
mkdir -p "$scratch/Submitted" "$scratch/metrics"
sed -i -e "s|^SocketPath = .*|SocketPath = \"$SPAMD_SOCKET\";|" \
       -e "s|^SubmittedDirectory = .*|SubmittedDirectory = \"$scratch/Submitted\";|" "$settings"
echo "MetricsFile = \"$scratch/metrics/velmora.prom\";" >>"$settings"
(cd / && "$workdir/VelmoraSpamAssassin" -check) >"$scratch/check" 2>&1 || fail "-check against the private spamd" "$scratch/check"
grep -q "^\* spamd $SPAMD_SOCKET: SPAMD/1\.5, " "$scratch/check" &&
    grep -q "^\* MetricsFile = \"$scratch/metrics/velmora.prom\";$" "$scratch/check" &&
    grep -q '^\* check passed: ' "$scratch/check" || fail "-check output" "$scratch/check"
[[ -z $(find "$scratch/Submitted" "$scratch/metrics" -mindepth 1) && ! -e $workdir/statistics.dat ]] ||
    fail "-check wrote a file"
cp "$settings" "$scratch/settings.good"
echo "AlertLevel = (90);" >>"$settings"
set +e
"$workdir/VelmoraSpamAssassin" -check >"$scratch/check" 2>&1
status=$?
set -e
cp "$scratch/settings.good" "$settings"
[[ $status -eq 1 ]] && grep -q '^\* Error in /var/lib/velmora-spamassassin/VelmoraSpamAssassin.cfg line ' "$scratch/check" ||
    fail "-check of a broken settings file: status $status" "$scratch/check"
ok "-check from $workdir: 1 without spamd, 0 against the private spamd, 1 with a broken file"

# A run through the installed replay tool and plugin with the installed
# settings, then node_exporter's textfile collector reads the metrics file.
velmora-replay --config "$settings" --quiet examples/messages >"$scratch/replay" 2>&1 ||
    fail "velmora-replay through the installed plugin" "$scratch/replay"
[[ -f $scratch/metrics/velmora.prom && -z $(ls "$scratch/metrics" | grep -v '^velmora\.prom$') ]] ||
    fail "the metrics file, and nothing else, in $scratch/metrics"
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
prometheus-node-exporter --web.listen-address="127.0.0.1:$port" --collector.disable-defaults \
    --collector.textfile --collector.textfile.directory="$scratch/metrics" >"$scratch/exporter.log" 2>&1 &
exporter_pid=$!
for _ in $(seq 100); do
    curl -sf "http://127.0.0.1:$port/metrics" >"$scratch/scrape" 2>/dev/null && break
    sleep 0.1
done
grep -q '^node_textfile_scrape_error 0$' "$scratch/scrape" || fail "node_exporter could not read the metrics file" "$scratch/exporter.log"
for line in 'velmora_requests_total{outcome="rated"} 7' 'velmora_rating_count 7' 'velmora_build_info{version="0.3"} 1' \
            "velmora_spamd_exchanges_total{engine=\"spamd\",host=\"$SPAMD_SOCKET\",outcome=\"rated\"} 7" \
            "velmora_spamd_up{engine=\"spamd\",host=\"$SPAMD_SOCKET\"} 1"; do
    grep -qxF "$line" "$scratch/scrape" || fail "node_exporter shows no '$line'" "$scratch/scrape"
done
kill "$exporter_pid"
wait "$exporter_pid" 2>/dev/null || true
exporter_pid=""
ok "the metrics file of a replay run reads cleanly in node_exporter on 127.0.0.1:$port"

dpkg --purge "$package" >"$scratch/dpkg" 2>&1 || fail "dpkg --purge" "$scratch/dpkg"
installed=0
[[ ! -e /etc/$package && ! -e $workdir && ! -e /usr/lib/$package ]] || fail "files left after dpkg --purge"
ok "dpkg --purge removes everything"
