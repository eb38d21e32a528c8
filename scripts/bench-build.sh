#!/usr/bin/env bash
# Build time of the tools-only build (tests and benchmarks off) against the
# full build, both Release from a clean folder (configure included), -j2,
# pinned to the same two cores with `taskset`, without ccache. The two run
# interleaved, the order alternating each round, so both meet the machine's
# load alike. Prints each run's wall and CPU time (user + system of every
# process of the build), then per-round ratios tools-only / full.
# The source is the committed tree (`git archive HEAD`) in a temporary folder.
# Usage: scripts/bench-build.sh [ROUNDS] [CORES]   (3 "6,7")
set -euo pipefail
cd "$(dirname "$0")/.."
rounds=${1:-3}
cores=${2:-6,7}
work=$(mktemp -d "${BENCH_DIR:-${TMPDIR:-/tmp}}/vt_bench_build_XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir "$work/src"
git archive HEAD | tar -x -C "$work/src"

python3 - "$work" "$rounds" "$cores" <<'EOF'
import os, resource, shutil, statistics, subprocess, sys, time
work, rounds, cores = sys.argv[1], int(sys.argv[2]), sys.argv[3]
env = dict(os.environ, CCACHE_DISABLE="1")
kinds = {
    "tools-only": ["-DVT_BUILD_TESTS=OFF", "-DVT_BUILD_BENCH=OFF"],
    "full": [],
}
def run(kind):
    out = os.path.join(work, "build")
    shutil.rmtree(out, ignore_errors=True)
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.perf_counter()
    for cmd in (["cmake", "-S", "src", "-B", "build", "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release"] + kinds[kind],
                ["cmake", "--build", "build", "-j2"]):
        subprocess.run(["taskset", "-c", cores] + cmd, cwd=work, env=env, check=True, stdout=subprocess.DEVNULL)
    wall = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    load = os.getloadavg()[0]
    print(f"{kind}: wall {wall:.1f} s, cpu {cpu:.1f} s, load average {load:.1f}", flush=True)
    return wall, cpu
wall_ratios, cpu_ratios, walls, cpus = [], [], {k: [] for k in kinds}, {k: [] for k in kinds}
for r in range(rounds):
    order = ["tools-only", "full"] if r % 2 == 0 else ["full", "tools-only"]
    got = {k: run(k) for k in order}
    for k in kinds:
        walls[k].append(got[k][0]); cpus[k].append(got[k][1])
    wall_ratios.append(got["tools-only"][0] / got["full"][0])
    cpu_ratios.append(got["tools-only"][1] / got["full"][1])
def spread(v, fmt):
    return f"{fmt(statistics.median(v))} ({fmt(min(v))}-{fmt(max(v))})"
mmss = lambda s: f"{int(s // 60)} min {int(round(s % 60)):02d} s"
print(f"| build | wall, median (min-max) | CPU, median (min-max) |")
print(f"|---|---|---|")
for k in kinds:
    print(f"| {k} | {spread(walls[k], mmss)} | {spread(cpus[k], mmss)} |")
print(f"| ratio tools-only / full | {spread(wall_ratios, lambda x: f'{x:.2f}')} | {spread(cpu_ratios, lambda x: f'{x:.2f}')} |")
EOF
