#!/usr/bin/env bash
# PNG loading per MB of file: hostile texts against a plain image of the same
# size, scripts/bench-png.sh [rounds]. The two cases run as separate
# processes in turn (hostile, plain, plain, hostile, ...); for each file size
# it prints the median milliseconds per MB of each (CPU time) and the median
# of the per-round ratios hostile / plain with the lowest and highest.
set -euo pipefail
cd "$(dirname "$0")/.."
rounds=${1:-7}
bin=${BENCH:-build/release/bin/bench_png}
if [ -z "${BENCH:-}" ]; then
  . scripts/configure-common.sh
  configure_checked --preset release >/dev/null
  cmake --build --preset release -j4 --target bench_png
fi
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
for ((r = 0; r < rounds; ++r)); do
  order=(hostile plain)
  ((r % 2)) && order=(plain hostile)
  for which in "${order[@]}"; do
    filter=BM_PngHostileTexts
    [ "$which" = plain ] && filter=BM_PngPlainImage
    "$bin" --benchmark_filter="$filter" --benchmark_format=json >"$dir/$which.$r.json" 2>/dev/null
  done
done
python3 - "$dir" "$rounds" <<'PY'
import json, statistics, sys
d, rounds = sys.argv[1], int(sys.argv[2])
def ms_per_mb(which, r):
    runs = json.load(open(f"{d}/{which}.{r}.json"))["benchmarks"]
    return {b["run_name"].split("/")[1]: 1e9 / b["bytes_per_second"] for b in runs}
hostile = [ms_per_mb("hostile", r) for r in range(rounds)]
plain = [ms_per_mb("plain", r) for r in range(rounds)]
print(f"N = {rounds} rounds, interleaved; ms per MB of file by CPU time (median); ratio hostile / plain per round")
for size in hostile[0]:
    h = [x[size] for x in hostile]
    p = [x[size] for x in plain]
    ratios = sorted(a / b for a, b in zip(h, p))
    print(f"{size:>4} texts: hostile {statistics.median(h):7.1f} ms/MB  plain {statistics.median(p):6.1f} ms/MB  "
          f"ratio {statistics.median(ratios):5.2f} (spread {ratios[0]:.2f}-{ratios[-1]:.2f})")
PY
