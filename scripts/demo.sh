#!/usr/bin/env bash
# demo.sh - rate the sample messages in examples/messages (and the samples
# that come with SpamAssassin, when installed) with a private spamd and the
# plugin, and print each verdict and a summary.
#
# Runs scripts/setup.sh first (as root it installs missing packages).  spamd
# runs on a Unix socket in a temporary directory and is stopped on exit.
set -euo pipefail

top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
bash "$top/scripts/setup.sh"
source "$top/scripts/private-spamd.sh"

work=$(mktemp -d /tmp/velmora-demo.XXXXXX)
cleanup() {
    stop_private_spamd
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

echo "Starting a private spamd on $work/spamd.sock"
start_private_spamd "$work"

cd "$top"
messages=(examples/messages)
for sample in /usr/share/doc/spamassassin/examples/sample-*.txt; do
    [[ -f "$sample" ]] && messages+=("$sample")
done

echo
build/tools/velmora-replay --socket "$SPAMD_SOCKET" --threads 2 "${messages[@]}"
