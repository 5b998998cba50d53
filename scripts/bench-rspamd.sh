#!/usr/bin/env bash
# bench-rspamd.sh - the rspamd figures: the plugin with one rspamd host against
# the replay tool's raw rspamd client, over TCP on 127.0.0.1 and over rspamd's
# Unix socket; and the plugin with rspamd against the plugin with spamd on the
# same messages.
#
#   bash scripts/bench-rspamd.sh           200 distinct messages of about 4 KiB,
#                                          fed 2,000 times to rspamd, once to spamd
#   bash scripts/bench-rspamd.sh --quick   60 messages, 600 times to rspamd
#
# Figures only, never a pass/fail test; setup.sh installs rspamd.  VSA_BUILD_DIR
# names a build tree to take velmora-replay and the plugin from instead of
# building build/ with setup.sh; KEEP_BENCH_DIR=1 keeps every run's summary
# and figures.  bench.sh runs it at its end.
set -euo pipefail

distinct=200 rspamd_messages=2000
case "${1:-}" in
    --quick) distinct=60 rspamd_messages=600 ;;
    "") ;;
    *) echo "usage: bench-rspamd.sh [--quick]" >&2; exit 1 ;;
esac
threads=4

top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
if [[ -n "${VSA_BUILD_DIR:-}" ]]; then
    build=$VSA_BUILD_DIR
else
    bash "$top/scripts/setup.sh" >/dev/null
    build="$top/build"
fi
replay="$build/tools/velmora-replay"
if ! command -v rspamd >/dev/null; then
    echo "bench-rspamd.sh: rspamd is not installed (Debian 12: apt-get install rspamd)" >&2
    exit 1
fi
source "$top/scripts/private-rspamd.sh"
source "$top/scripts/private-spamd.sh"

work=$(mktemp -d /tmp/velmora-rspamd-bench.XXXXXX)
# spamd's children run as nobody and must reach their socket in here.
chmod 755 "$work"
cleanup() {
    # A second Ctrl-C must not cut the clean-up short and leave the engines running.
    trap '' INT TERM
    stop_private_rspamd
    stop_private_spamd
    if [[ -n "${KEEP_BENCH_DIR:-}" ]]; then
        echo "kept $work" >&2
    else
        rm -rf "$work"
    fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# run NAME ARGS... - one replay; its summary goes to NAME.log, its figures to
# NAME.txt.  Its working directory lies in ours, so that one kept after a
# failed run goes with it.
run() {
    local name=$1
    shift
    echo "  $name: velmora-replay $*" >&2
    if ! TMPDIR="$work" "$replay" --quiet --figures "$work/$name.txt" "$@" >"$work/$name.log" 2>&1; then
        echo "bench-rspamd.sh: the $name run failed:" >&2
        cat "$work/$name.log" >&2
        exit 1
    fi
}

mkdir -p "$work/rspamd" "$work/spamd"
echo "Starting a private rspamd and a private spamd" >&2
start_private_rspamd "$work/rspamd"
start_private_spamd "$work/spamd"

echo "Measuring ($distinct distinct messages; $rspamd_messages per rspamd run, $distinct per spamd run;" \
     "$threads scanning threads and $threads raw clients; every comparison 3 times)" >&2
# The same messages everywhere: spamd rates each once, rspamd cycles through
# them.  The raw client runs after the plugin, before it, after it, so that a
# machine whose load drifts favours neither side; the three kinds of run take
# turns for the same reason.
rspamd_args=(--synthetic "$distinct" --count "$rspamd_messages" --threads "$threads")
# Both engines are slow on their first messages after a start; whichever run
# came first would pay for it.
run warm-rspamd --spamd-hosts "rspamd:127.0.0.1:$RSPAMD_PORT" --synthetic "$distinct" --threads "$threads"
run warm-spamd --spamd-hosts "$SPAMD_SOCKET" --synthetic "$threads" --threads "$threads"
for i in 1 2 3; do
    order=--floor
    ((i == 2)) && order=--floor-first
    run "tcp-$i" --spamd-hosts "rspamd:127.0.0.1:$RSPAMD_PORT" "${rspamd_args[@]}" "$order"
    run "unix-$i" --spamd-hosts "rspamd:$RSPAMD_SOCKET" "${rspamd_args[@]}" "$order"
    run "spamd-$i" --spamd-hosts "$SPAMD_SOCKET" --synthetic "$distinct" --threads "$threads"
done

python3 - "$work" <<'PYTHON'
import os, statistics, sys
work = sys.argv[1]

def figures(name):
    values = {}
    with open(os.path.join(work, name + ".txt")) as f:
        for key, _, value in (line.rstrip("\n").partition("=") for line in f):
            try:
                values[key] = float(value)
            except ValueError:
                pass
    return values

def runs(kind):
    return [figures(f"{kind}-{i}") for i in (1, 2, 3)]

def median_spread(values):
    return statistics.median(values), min(values), max(values)

tcp, unix, spamd = runs("tcp"), runs("unix"), runs("spamd")
for kind, group in (("TCP", tcp), ("Unix socket", unix)):
    failed = sum(int(run.get("floor_failures", 0)) for run in group)
    if failed:
        print(f"warning: the raw rspamd client failed {failed} exchanges over {kind}; see the runs' summaries")
spamd_rate = median_spread([run["throughput"] for run in spamd])

print()
print("Messages/s, medians of 3 (lowest-highest):")
for kind, group in (("rspamd over TCP", tcp), ("rspamd over its Unix socket", unix)):
    plugin = median_spread([run["throughput"] for run in group])
    floor = median_spread([run["floor_throughput"] for run in group])
    print(f"  {kind:<28} plugin {plugin[0]:7.1f} ({plugin[1]:.1f}-{plugin[2]:.1f}), "
          f"raw client {floor[0]:7.1f} ({floor[1]:.1f}-{floor[2]:.1f})")
print(f"  {'spamd over its Unix socket':<28} plugin {spamd_rate[0]:7.1f} ({spamd_rate[1]:.1f}-{spamd_rate[2]:.1f})")
print()

rows = []
for kind, group in (("TCP", tcp), ("Unix socket", unix)):
    rows.append((f"8. rspamd, {kind}: plugin / raw client", median_spread([run["floor_ratio"] for run in group]),
                 ">= 0.95", 0.95))
for kind, group in (("TCP", tcp), ("Unix socket", unix)):
    rate = statistics.median(run["throughput"] for run in group)
    rows.append((f"9. plugin with rspamd ({kind}) / with spamd", (rate / spamd_rate[0],) * 3, "(machine)", None))
for title, (value, low, high), goal, bar in rows:
    verdict = "" if bar is None else ("met" if value >= bar else "NOT MET")
    spread = f"({low:.3f}-{high:.3f})" if bar is not None else ""
    print(f"{title:<50} {value:8.3f} {spread:<15} {goal:<9} {verdict}")
PYTHON
