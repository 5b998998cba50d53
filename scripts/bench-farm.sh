#!/usr/bin/env bash
# bench-farm.sh - the farm figures: the plugin's throughput with two spamd
# hosts (2 children each, TCP on 127.0.0.1) against one, and against the
# replay tool's raw client spread over the same two hosts.
#
#   bash scripts/bench-farm.sh           300 messages of about 4 KiB per run
#   bash scripts/bench-farm.sh --quick   100 messages
#
# Figures only, never a pass/fail test; bench.sh runs this at its end.
set -euo pipefail

messages=300
case "${1:-}" in
    --quick) messages=100 ;;
    "") ;;
    *) echo "usage: bench-farm.sh [--quick]" >&2; exit 1 ;;
esac

top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
bash "$top/scripts/setup.sh" >/dev/null
replay="$top/build/tools/velmora-replay"

work=$(mktemp -d /tmp/velmora-farm-bench.XXXXXX)
chmod 755 "$work"
pids=()
cleanup() {
    local pid
    for pid in "${pids[@]}"; do
        kill -9 -- "-$pid" 2>/dev/null || true
    done
    [[ -n "${KEEP_BENCH_DIR:-}" ]] && echo "kept $work" >&2 || rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# free_port - a TCP port of 127.0.0.1 that nothing listens on now.
free_port() {
    python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# start_tcp_spamd NAME PORT - spamd with 2 children on 127.0.0.1:PORT, in a
# process group of its own; waits until it listens, at most a minute.
start_tcp_spamd() {
    local log="$work/$1.log" args=(-L --listen="127.0.0.1:$2" -m 2 --min-spare=1 --max-spare=2 -s stderr -x
                                    --cf='use_bayes 0' --cf='bayes_auto_learn 0') _
    [[ $(id -u) -eq 0 ]] && args+=(-u nobody)
    setsid spamd "${args[@]}" 2>"$log" &
    pids+=($!)
    disown
    for _ in $(seq 600); do
        grep -q "server started" "$log" && return 0
        sleep 0.1
    done
    echo "spamd $1 did not start:" >&2
    cat "$log" >&2
    return 1
}

run() {
    local name=$1
    shift
    echo "  $name: velmora-replay $*" >&2
    if ! "$replay" --quiet --figures "$work/$name.txt" "$@" >"$work/$name.log" 2>&1; then
        echo "bench-farm.sh: the $name run failed:" >&2
        cat "$work/$name.log" >&2
        exit 1
    fi
}

one=127.0.0.1:$(free_port)
start_tcp_spamd one "${one#*:}"
two=127.0.0.1:$(free_port)
start_tcp_spamd two "${two#*:}"
echo "Measuring the farm ($messages messages per run, 4 scanning threads and 4 raw clients)" >&2
# Both runs ask the plugin first, then the raw client, on the same spooled messages.
run farm-1 --spamd-hosts "$one" --synthetic "$messages" --threads 4 --floor
run farm-2 --spamd-hosts "$one,$two" --synthetic "$messages" --threads 4 --floor

python3 - "$work" <<'PYTHON'
import os, sys
work = sys.argv[1]
def figures(name):
    with open(os.path.join(work, name + ".txt")) as f:
        return {k: float(v) for k, _, v in (line.rstrip("\n").partition("=") for line in f) if v.replace(".", "", 1).isdigit()}
one, two = figures("farm-1"), figures("farm-2")
print()
print(f"Messages/s: plugin with 1 host {one['throughput']:.1f}, with 2 hosts {two['throughput']:.1f}; "
      f"raw client over 2 hosts {two['floor_throughput']:.1f} (over 1 host {one['floor_throughput']:.1f})")
rows = [("6. farm: plugin throughput, 2 hosts / 1 host", two["throughput"] / one["throughput"], "(machine)", None),
        ("7. farm: plugin / raw client over the same 2 hosts", two["floor_ratio"], ">= 0.95", 0.95)]
for title, value, goal, bar in rows:
    verdict = "" if bar is None else ("met" if value >= bar else "NOT MET")
    print(f"{title:<52} {value:8.3f}  {goal:<9} {verdict}")
PYTHON
