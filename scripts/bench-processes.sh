#!/usr/bin/env bash
# Program starts while the process holds named events: interleaved
# repetitions of bench_processes (RunProcess of /bin/true, waited for, with 0,
# 100 and 1,000 named events held), the median time per start of each and
# the median ratio to 0 names with its spread (lowest and highest of the
# per-repetition ratios). BIN=... measures another build.
# Usage: scripts/bench-processes.sh [REPS]   (9)
set -euo pipefail
cd "$(dirname "$0")/.."
reps=${1:-9}
. scripts/bench-common.sh
out=$(mktemp)
trap 'rm -f "$out"' EXIT
bench_json bench_processes "$reps" "$out"
python3 - "$out" "$reps" <<'PY'
import json, statistics, sys
runs = [b for b in json.load(open(sys.argv[1]))["benchmarks"] if b.get("run_type") == "iteration"]
times = {}
for b in runs:
    names = b["run_name"].split("names:")[1].split("/")[0]
    times.setdefault(int(names), []).append(b["real_time"])
print(f"N = {sys.argv[2]} interleaved repetitions, us per start (median)")
base = times[0]
for names in sorted(times):
    ratios = sorted(a / b for a, b in zip(times[names], base))
    print(f"{names:5} names  {statistics.median(times[names]):8.0f} us  ratio to 0: "
          f"{statistics.median(ratios):5.2f} (spread {ratios[0]:.2f}-{ratios[-1]:.2f})")
PY
