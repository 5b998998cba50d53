#!/usr/bin/env bash
# bench.sh - the plugin's performance figures, each printed beside its goal.
#
#   bash scripts/bench.sh           20,000 messages of about 4 KiB per run
#   bash scripts/bench.sh --quick   2,000 messages (small machines)
#
# Figures only, never a pass/fail test: they depend on the machine and on
# what else runs on it.  Takes a few minutes; nothing here is part of the
# test command.  See docs/replay-and-benchmarks.md for how to read them.
# The farm figures (two spamd hosts against one) follow, from bench-farm.sh,
# and the rspamd figures, from bench-rspamd.sh.
set -euo pipefail

quick=0
case "${1:-}" in
    --quick) quick=1 ;;
    "") ;;
    *) echo "usage: bench.sh [--quick]" >&2; exit 1 ;;
esac
if ((quick)); then
    messages=2000 real_messages=100 spamc_messages=300
else
    messages=20000 real_messages=300 spamc_messages=1000
fi

top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
VSA_CMAKE_ARGS="-DVSA_BUILD_BENCHMARKS=ON" bash "$top/scripts/setup.sh" >/dev/null
source "$top/scripts/private-spamd.sh"

work=$(mktemp -d /tmp/velmora-bench.XXXXXX)
cleanup() {
    stop_private_spamd
    [[ -n "${KEEP_BENCH_DIR:-}" ]] && echo "kept $work" >&2 || rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

replay="$top/build/tools/velmora-replay"

# run NAME ARGS... - one replay; its summary goes to NAME.log, its figures to NAME.txt.
run() {
    local name=$1
    shift
    echo "  $name: velmora-replay $*" >&2
    if ! "$replay" --quiet --figures "$work/$name.txt" "$@" >"$work/$name.log" 2>&1; then
        echo "bench.sh: the $name run failed:" >&2
        cat "$work/$name.log" >&2
        exit 1
    fi
}

echo "Measuring (messages per run: $messages; real spamd: $real_messages; comparisons run 3 times)" >&2
for i in 1 2 3; do
    run "fake-2-$i" --fake-spamd 1000/5 --synthetic "$messages" --threads 2 --floor
    run "fake-10-$i" --fake-spamd 1000/5 --synthetic "$messages" --threads 10 --floor
done
run spamc --fake-spamd 1000/5 --synthetic "$messages" --threads 10 --spamc --spamc-messages "$spamc_messages"
run rss-100 --fake-spamd 1000/5:20 --synthetic "$messages" --threads 100 --in-flight 400

mkdir -p "$work/spamd"
start_private_spamd "$work/spamd"
# The floor runs after the plugin, before it, after it: a machine whose load
# drifts favours neither side.
for i in 1 2 3; do
    order=--floor
    ((i == 2)) && order=--floor-first
    run "real-2-$i" --socket "$SPAMD_SOCKET" --synthetic "$real_messages" --threads 2 "$order"
done
stop_private_spamd

echo "  hot spots: vsa_bench" >&2
"$top/build/bench/vsa_bench" --benchmark_out="$work/bench.json" --benchmark_out_format=json \
    >"$work/bench.log" 2>&1

python3 - "$work" "$quick" <<'PYTHON'
import json, os, platform, sys

work, quick = sys.argv[1], sys.argv[2] == "1"

def figures(name):
    values = {}
    with open(os.path.join(work, name + ".txt")) as f:
        for line in f:
            key, _, value = line.rstrip("\n").partition("=")
            values[key] = value
    return values

def number(values, key):
    try:
        return float(values.get(key, ""))
    except ValueError:
        return None

cpu = "unknown"
with open("/proc/cpuinfo") as f:
    for line in f:
        if line.startswith("model name"):
            cpu = line.split(":", 1)[1].strip()
            break

rows = []
def row(title, value, unit, goal, ok):
    shown = "n/a" if value is None else f"{value:,.3f}".rstrip("0").rstrip(".") + unit
    verdict = "" if value is None or ok is None else ("met" if ok(value) else "NOT MET")
    rows.append((title, shown, goal, verdict))

def median_run(prefix, key):
    """The run of three whose key is the median, so that all its figures belong together."""
    runs = [figures(f"{prefix}-{i}") for i in (1, 2, 3)]
    runs = [r for r in runs if number(r, key) is not None]
    runs.sort(key=lambda r: number(r, key))
    return runs[len(runs) // 2] if runs else {}

def cpu_ratio(run):
    plugin, floor, n = number(run, "plugin_cpu_seconds"), number(run, "floor_cpu_seconds"), number(run, "messages")
    if not plugin or floor is None:
        return None
    return floor / plugin

f2, f10 = median_run("fake-2", "floor_ratio"), median_run("fake-10", "floor_ratio")
real_runs = [figures(f"real-2-{i}") for i in (1, 2, 3)]
def pooled(key):
    values = [number(r, key) for r in real_runs]
    return sum(values) if None not in values else None
real_plugin_wall, real_floor_wall = pooled("wall_seconds"), pooled("floor_wall_seconds")
real_wall_ratio = real_plugin_wall / real_floor_wall if real_plugin_wall and real_floor_wall else None
spamc, rss = figures("spamc"), figures("rss-100")
for label, run in (("2 threads", f2), ("10 threads", f10)):
    row(f"1. plugin / raw floor, fake spamd, {label}", number(run, "floor_ratio"), "", ">= 0.85", lambda v: v >= 0.85)
    row(f"   (CPU per message: floor / plugin, {label})", cpu_ratio(run), "", "(aid)", None)
for parallel in ("1", "2"):
    how = "sequential" if parallel == "1" else "2 in parallel"
    row(f"2. plugin (10 threads) / spamc -c, {how}", number(spamc, f"spamc{parallel}_ratio"), "", ">= 20",
        lambda v: v >= 20)
row("3. real spamd: plugin wall / raw client wall", real_wall_ratio, "", "<= 1.05", lambda v: v <= 1.05)
real_plugin_cpu = pooled("plugin_cpu_seconds")
row("   (plugin's own CPU / its wall time, real spamd)",
    real_plugin_cpu / real_plugin_wall if real_plugin_cpu is not None and real_plugin_wall else None, "", "(aid)", None)
peak = number(rss, "peak_rss_kib")
row("4. peak RSS, 100 scanning threads under load", None if peak is None else peak / 1024, " MiB", "<= 32 MiB",
    lambda v: v <= 32)

with open(os.path.join(work, "bench.json")) as f:
    bench = {b["name"]: b for b in json.load(f)["benchmarks"]}
def bench_ms(prefix):
    for name, b in bench.items():
        if name.startswith(prefix):
            scale = {"ns": 1e-6, "us": 1e-3, "ms": 1.0, "s": 1e3}[b["time_unit"]]
            return b["real_time"] * scale
    return None
row("5. ReportAddItem, 1,000,000 distinct names", bench_ms("BM_ReportAddItemMillionNames"), " ms", "< 1000 ms",
    lambda v: v < 1000)
row("5. DumpReportData(true), 100k sources + targets", bench_ms("BM_DumpReportData"), " ms", "< 200 ms",
    lambda v: v < 200)
row("5. daily report (forced), 100k + 100k", bench_ms("BM_DailyReport"), " ms", "< 500 ms",
    lambda v: v < 500)
pr = bench_ms("BM_AnswerScan")
row("5. AnswerScan, one reply and its recording", None if pr is None else pr * 1000, " us", "(no goal)", None)
row("5. cfgfReadConfigText, 1 MB file", bench_ms("BM_cfgfReadConfigText"), " ms", "(no goal)", None)

print()
print(f"Machine: {os.cpu_count()} CPUs ({cpu}), {platform.system()} {platform.release()}"
      + ("; quick mode" if quick else ""))
def per_message_us(run, key):
    seconds, n = number(run, key), number(run, "messages")
    return seconds * 1e6 / n if seconds is not None and n else float("nan")
print("Messages/s (median runs): "
      f"2 threads plugin {number(f2, 'throughput'):,.0f}, floor {number(f2, 'floor_throughput'):,.0f}; "
      f"10 threads plugin {number(f10, 'throughput'):,.0f}, floor {number(f10, 'floor_throughput'):,.0f}; "
      f"spamc {number(spamc, 'spamc1_throughput'):,.0f} and {number(spamc, 'spamc2_throughput'):,.0f} "
      f"(plugin {number(spamc, 'throughput'):,.0f}); "
      f"real spamd (3 runs) plugin {real_plugin_wall:,.1f} s, client {real_floor_wall:,.1f} s")
print("CPU per message: "
      f"plugin {per_message_us(f2, 'plugin_cpu_seconds'):.0f} us, floor client {per_message_us(f2, 'floor_cpu_seconds'):.0f} us,"
      f" host side {per_message_us(f2, 'host_cpu_seconds'):.0f} us (2 threads)")
print()
width = max(len(r[0]) for r in rows)
print(f"{'Figure':<{width}}  {'Measured':>14}  {'Goal':<11} ")
for title, shown, goal, verdict in rows:
    print(f"{title:<{width}}  {shown:>14}  {goal:<11} {verdict}")
PYTHON

# The farm figures: spamd hosts of their own, started after the others are gone;
# then the rspamd figures.
if ((quick)); then bash "$top/scripts/bench-farm.sh" --quick; else bash "$top/scripts/bench-farm.sh"; fi
if ((quick)); then bash "$top/scripts/bench-rspamd.sh" --quick; else bash "$top/scripts/bench-rspamd.sh"; fi
