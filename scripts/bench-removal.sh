#!/usr/bin/env bash
# Folder-tree removal against `rm -rf`: interleaved repetitions of
# bench_removal (chains of 1,000 and 10,000 folders, a wide tree), the median
# wall time and processor time of each and the median ratios with their
# spread (lowest and highest of the per-repetition ratios). Trees are made in BENCH_DIR (else TMPDIR,
# else /tmp): run it once on a disk and once on a tmpfs (BENCH_DIR=/dev/shm)
# to see the file system's share. BIN=... measures another build.
# Usage: scripts/bench-removal.sh [REPS]   (9)
set -euo pipefail
cd "$(dirname "$0")/.."
reps=${1:-9}
. scripts/bench-common.sh
out=$(mktemp)
trap 'rm -f "$out"' EXIT
bench_json bench_removal "$reps" "$out"
python3 - "$out" "$reps" "${BENCH_DIR:-${TMPDIR:-/tmp}}" <<'PY'
import json, statistics, sys
runs = [b for b in json.load(open(sys.argv[1]))["benchmarks"] if b.get("run_type") == "iteration"]
times = {}
for b in runs:
    what, shape = b["run_name"].split("/")[:2]
    times.setdefault((what, shape, "wall"), []).append(b["real_time"])
    times.setdefault((what, shape, "cpu"), []).append(b["cpu_ms"])
print(f"N = {sys.argv[2]} interleaved repetitions in {sys.argv[3]}, ms per removal (median)")
for shape, label in (("shape:0", "chain 1,000"), ("shape:1", "chain 10,000"), ("shape:2", "wide 100x100")):
    for kind in ("wall", "cpu"):
        ours, rm = times[("RemoveTree", shape, kind)], times[("RmRf", shape, kind)]
        ratios = sorted(a / b for a, b in zip(ours, rm))
        print(f"{label:13} {kind:4} ours {statistics.median(ours):8.1f}  rm -rf {statistics.median(rm):8.1f}  "
              f"ratio {statistics.median(ratios):5.2f} (spread {ratios[0]:.2f}-{ratios[-1]:.2f})")
PY
