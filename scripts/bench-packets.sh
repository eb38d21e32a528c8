#!/usr/bin/env bash
# Big-packet save and load against the minimal serializer: interleaved
# repetitions, median time of each and the median ratio with its spread
# (lowest and highest of the per-repetition ratios). CPU time, which other
# work on a shared machine disturbs less than wall time. BIN=... measures
# another build of the benchmark.
set -euo pipefail
cd "$(dirname "$0")/.."
reps=${REPS:-9}
. scripts/bench-common.sh
out=$(mktemp)
trap 'rm -f "$out"' EXIT
bench_json bench_packets "$reps" "$out" --benchmark_filter=Big
python3 - "$out" "$reps" <<'PY'
import json, re, statistics, sys
runs = [b for b in json.load(open(sys.argv[1]))["benchmarks"] if b.get("run_type") == "iteration"]
times = {}
for b in runs:
    # Earlier builds named the cases BM_Big<What><Op><Kind>.
    name = re.sub(r"^BM_Big(Strings|Projects)(Save|Load)(Packet|Plain)$", r"BM_Big\2\3/\1", b["run_name"])
    times.setdefault(name, []).append(b["cpu_time"])
print(f"N = {sys.argv[2]} interleaved repetitions, CPU times in ms (median)")
for what in ("Strings", "Projects"):
  for op in ("Save", "Load"):
    case = what + " " + op
    pk, pl = times[f"BM_Big{op}Packet/{what}"], times[f"BM_Big{op}Plain/{what}"]
    ratios = sorted(a / b for a, b in zip(pk, pl))
    print(f"{case:14} packet {statistics.median(pk):8.2f}  plain {statistics.median(pl):8.2f}  "
          f"ratio {statistics.median(ratios):5.2f} (spread {ratios[0]:.2f}-{ratios[-1]:.2f})")
PY
