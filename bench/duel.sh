#!/usr/bin/env bash
# Runs the pairs of diagbench twice, as they fall and pinned to one CPU (taskset -c 0), each
# benchmark repeated (default 5 times) with the repetitions of all benchmarks interleaved at
# random, so ours and its peer alternate within the run; prints the medians and the ratios.
#   bench/duel.sh [BUILD_DIR] [REPETITIONS]
# Ratio = the other's median / ours: above 1 means ours is faster.
set -euo pipefail
build=${1:-build}
repetitions=${2:-5}
bench=$build/bench/diagbench
[[ -x $bench ]] || { echo "build $bench first: cmake --build $build --target diagbench" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export TOLVANE_REGISTRY=$work/registry.db
filter='BM_(QueueSPSC|QueueMPSC|PostRun|Timers|Print|PrintPrefixed|Echo|BlockingPost|Format|TraceCheck)_'

run() {
  "$@" "$bench" --benchmark_filter="$filter" --benchmark_repetitions="$repetitions" \
    --benchmark_enable_random_interleaving=true --benchmark_min_time=0.2 \
    --benchmark_report_aggregates_only=true --benchmark_format=json --benchmark_out_format=json
}
echo "machine: $(nproc) CPUs, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | xargs); load: $(cut -d' ' -f1-3 /proc/loadavg)"
run > "$work/free.json" 2>/dev/null
run taskset -c 0 > "$work/pinned.json" 2>/dev/null

python3 - "$work/free.json" "$work/pinned.json" <<'EOF'
import json, sys

def medians(path):
    out = {}
    for b in json.load(open(path))["benchmarks"]:
        if b.get("aggregate_name") == "median":
            out[b["run_name"].split("/")[0]] = (b["real_time"], b["time_unit"])
    return out

free, pinned = medians(sys.argv[1]), medians(sys.argv[2])
# ours, the other, what the other is
pairs = [("BM_QueueSPSC_Ours", "BM_QueueSPSC_Moody"), ("BM_QueueMPSC_Ours", "BM_QueueMPSC_Moody"),
         ("BM_PostRun_Ours", "BM_PostRun_Asio"), ("BM_Timers_Ours", "BM_Timers_Libuv"),
         ("BM_PrintPrefixed_Ours", "BM_Print_Spdlog"),
         ("BM_QueueSPSC_Ours", "BM_QueueSPSC_Baseline"), ("BM_QueueMPSC_Ours", "BM_QueueMPSC_Baseline"),
         ("BM_PostRun_Ours", "BM_PostRun_Baseline"), ("BM_BlockingPost_Ours", "BM_BlockingPost_Baseline"),
         ("BM_Timers_Ours", "BM_Timers_Baseline"), ("BM_Print_Ours", "BM_Print_Baseline"),
         ("BM_TraceCheck_Ours", "BM_TraceCheck_Baseline"), ("BM_Format_Ours", "BM_Format_Baseline"),
         ("BM_Echo_Ours", "BM_Echo_Baseline")]

def cell(table, name):
    if name not in table:
        return "-", None
    value, unit = table[name]
    return f"{value:,.3g} {unit}", value

print("| Ours | Other | Ours | Other | Ratio | Ours pinned | Other pinned | Ratio pinned |")
print("| --- | --- | --- | --- | --- | --- | --- | --- |")
for ours, other in pairs:
    row = [f"`{ours}`", f"`{other}`"]
    for table in (free, pinned):
        a, av = cell(table, ours)
        b, bv = cell(table, other)
        row += [a, b, f"{bv / av:.2f}" if av and bv else "-"]
    print("| " + " | ".join(row) + " |")
EOF
