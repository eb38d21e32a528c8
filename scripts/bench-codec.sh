#!/usr/bin/env bash
# The codec alone, two builds side by side: BEFORE=<bench_compress of the
# other build> scripts/bench-codec.sh [rounds] [filter]. The two programs run
# in turn (before, after, after, before, ...); for each case it prints the
# median throughput of each (CPU time, which other work on a shared machine
# disturbs less than wall time) and the median of the per-round ratios
# after / before with the lowest and highest.
set -euo pipefail
cd "$(dirname "$0")/.."
rounds=${1:-7}
filter=${2:-BM_Codec}
after=${AFTER:-build/release/bin/bench_compress}
before=${BEFORE:?BEFORE must name the bench_compress of the build to compare with}
if [ -z "${AFTER:-}" ]; then
  . scripts/configure-common.sh
  configure_checked --preset release >/dev/null
  cmake --build --preset release -j4 --target bench_compress
fi
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
for ((r = 0; r < rounds; ++r)); do
  order=(before after)
  ((r % 2)) && order=(after before)
  for which in "${order[@]}"; do
    bin=$before
    [ "$which" = after ] && bin=$after
    "$bin" --benchmark_filter="$filter" --benchmark_format=json >"$dir/$which.$r.json" 2>/dev/null
  done
done
python3 - "$dir" "$rounds" <<'PY'
import json, statistics, sys
d, rounds = sys.argv[1], int(sys.argv[2])
def speeds(which, r):
    runs = json.load(open(f"{d}/{which}.{r}.json"))["benchmarks"]
    return {b["run_name"] + " " + b.get("label", ""): b["bytes_per_second"] / 1e6 for b in runs}
before = [speeds("before", r) for r in range(rounds)]
after = [speeds("after", r) for r in range(rounds)]
print(f"N = {rounds} rounds, interleaved; MB/s by CPU time (median); ratio after / before per round")
for case in after[0]:
    if case not in before[0]:
        continue
    b = [x[case] for x in before]
    a = [x[case] for x in after]
    ratios = sorted(y / x for x, y in zip(b, a))
    print(f"{case:40} before {statistics.median(b):8.0f}  after {statistics.median(a):8.0f}  "
          f"ratio {statistics.median(ratios):5.2f} (spread {ratios[0]:.2f}-{ratios[-1]:.2f})")
PY
