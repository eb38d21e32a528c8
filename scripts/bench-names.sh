#!/usr/bin/env bash
# Opens of one name: interleaved repetitions of bench_names (an open and its
# close beside 0, 450 and 4,000 other holders' records; the time until the
# last of 1,000 programs let go at once holds the name), the median of each
# with its spread (lowest and highest), and the burst's failed opens.
# BIN=... measures another build (its vt_sync_helper beside it).
# Usage: scripts/bench-names.sh [REPS]   (5)
set -euo pipefail
cd "$(dirname "$0")/.."
reps=${1:-5}
. scripts/bench-common.sh
out=$(mktemp)
trap 'rm -f "$out"' EXIT
bench_json bench_names "$reps" "$out"
python3 - "$out" "$reps" <<'PY'
import json, statistics, sys
runs = [b for b in json.load(open(sys.argv[1]))["benchmarks"] if b.get("run_type") == "iteration"]
groups = {}
for b in runs:
    groups.setdefault(b["run_name"], []).append(b)
print(f"N = {sys.argv[2]} interleaved repetitions: median (lowest-highest)")
for name in sorted(groups):
    times = sorted(b["real_time"] for b in groups[name])
    unit = groups[name][0]["time_unit"]
    line = f"{name:40} {statistics.median(times):10.1f} {unit} ({times[0]:.1f}-{times[-1]:.1f})"
    if "failed" in groups[name][0]:
        failed = sorted(b["failed"] for b in groups[name])
        line += f"  failed {statistics.median(failed):.0f} ({failed[0]:.0f}-{failed[-1]:.0f})"
    print(line)
PY
