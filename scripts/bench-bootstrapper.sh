#!/usr/bin/env bash
# Whole-program timing and peak memory of the bootstrapper, side by side
# with public tools (not part of CI). For each of two payloads of about
# SIZE MiB (the sample inner setup plus one file entry):
#   pure   the system's programs and libraries,
#   mixed  the same with every fifth MiB replaced by random bytes,
# a console bootstrapper carrying it is run against
#   - xz decoding the same LZMA payload to a file (decoding plus writing),
#   - a makeself archive (xz, level 6) of the same package that extracts it
#     to a temporary folder, runs the sample setup and removes the folder.
# The three run interleaved (one warm-up round, then RUNS rounds); each line
# gives the median wall time with the fastest and slowest run, and the peak
# resident memory of the program and the processes it waited for (the
# largest of them, as GNU time reports it).
# Last, a bootstrapper carrying a plain (uncompressed) package of MEM_MIB MiB
# is run once for its peak memory. Every file is removed at the end.
# With BEFORE=<another build's vt_install>, bootstrappers made from that
# program run beside the others (before/after comparisons).
# With VT_BENCH_BIN=<a build's bin folder>, that build's programs are used
# and nothing is built. SIZE 0 gives a setup of the sample setup alone.
# Needs makeself (installed here when missing).
# Usage: scripts/bench-bootstrapper.sh [SIZE] [RUNS] [MEM_MIB]   (200 5 1024)
set -euo pipefail
cd "$(dirname "$0")/.."
size_mib=${1:-200}
runs=${2:-5}
mem_mib=${3:-1024}

need=()
for p in makeself xz-utils time; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || need+=("$p")
done
if ((${#need[@]})); then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${need[@]}"
fi
if [ -n "${VT_BENCH_BIN:-}" ]; then
  bin=$(cd "$VT_BENCH_BIN" && pwd)
else
  scripts/deps.sh
  . scripts/configure-common.sh
  configure_checked --preset release >/dev/null
  cmake --build --preset release -j "$(nproc)" >/dev/null
  bin=$PWD/build/release/bin
fi
manifest=$PWD/src/bootstrapper/install/Install.manifest
work=$(mktemp -d "${BENCH_DIR:-${TMPDIR:-/tmp}}/vt_bench_XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/tmp"
exe_size=$(stat -c %s "$bin/vt_sample_setup.exe")

# pack PROGRAM OUT PAYLOAD NAME: a console bootstrapper of PROGRAM.
pack() {
  "$bin/vtpack" "$1" -o "$2" --subsystem console --add RCDATA 1000 "$3" --add RCDATA 1001 "$work/$4.meta" \
    --add RCDATA 1002 "$bin/vt_lzma" --add MANIFEST 1 "$manifest"
}

# bootstrapper NAME PACKAGE COMPRESSED: packs "$work/NAME" (and
# "$work/NAME.before" with BEFORE).
bootstrapper() {
  local payload=$2
  "$bin/vt_make_setup_pak" "$bin/vt_sample_setup.exe" "$work/$1.pak" --metadata "$work/$1.meta" "$3" \
    --file content.bin "$payload"
  payload=$work/$1.pak
  if [ "$3" = 1 ]; then
    "$bin/vt_lzma" e "$work/$1.pak" "$work/$1.lzma"
    payload=$work/$1.lzma
  fi
  pack "$bin/vt_install" "$work/$1" "$payload" "$1"
  if [ -n "${BEFORE:-}" ]; then pack "$BEFORE" "$work/$1.before" "$payload" "$1"; fi
}
before() { if [ -n "${BEFORE:-}" ]; then echo "bootstrapper before=./$1.before"; fi; }

# Interleaved runs of NAME=COMMAND pairs (run by sh in $work, TMPDIR set).
measure() {
  python3 - "$runs" "$@" <<'EOF'
import os, statistics, subprocess, sys, time
runs = int(sys.argv[1])
cmds = [a.split("=", 1) for a in sys.argv[2:]]
times = {n: [] for n, _ in cmds}
peak = {n: 0 for n, _ in cmds}
for r in range(runs + 1):
    for name, cmd in cmds:
        # GNU time reports the peak: a child forked from this interpreter
        # would count the interpreter's own pages (about 14 MiB) as its peak.
        start = time.perf_counter()
        p = subprocess.Popen(["/usr/bin/time", "-f", "%M", "-o", "peak.kib", "sh", "-c", cmd],
                             stdout=subprocess.DEVNULL)
        _, status, _ = os.wait4(p.pid, 0)
        took = time.perf_counter() - start
        if status != 0:
            sys.exit(f"{name} failed ({status})")
        if r > 0:
            times[name].append(took)
            with open("peak.kib") as f:
                peak[name] = max(peak[name], int(f.read().split()[-1]))
base = statistics.median(times[cmds[0][0]])
print(f"| program | median | fastest - slowest | relative | peak memory |")
print(f"|---|---|---|---|---|")
for name, _ in cmds:
    t = times[name]
    m = statistics.median(t)
    print(f"| {name} | {m:.3f} s | {min(t):.3f} - {max(t):.3f} s | {m / base:.3f} | {peak[name] / 1024:.0f} MiB |")
EOF
}

for kind in pure mixed; do
  echo "== $kind payload, ${size_mib} MiB, $runs interleaved runs"
  find /usr/lib /usr/bin -xdev -type f -size +16k 2>/dev/null | LC_ALL=C sort | while read -r f; do
    cat "$f" 2>/dev/null || true
  done | head -c $((size_mib << 20)) >"$work/content.bin"
  if [ "$kind" = mixed ]; then
    for ((i = 0; i < size_mib; i += 5)); do
      head -c $((1 << 20)) /dev/urandom | dd of="$work/content.bin" bs=1M seek="$i" conv=notrunc status=none
    done
  fi
  bootstrapper "$kind" "$work/content.bin" 1
  mkdir -p "$work/m"
  mv "$work/$kind.pak" "$work/m/Setup.pak"
  cp "$bin/vt_sample_setup_elf" "$work/m/setup"
  makeself --xz --complevel 6 --nomd5 --nocrc --nox11 --quiet "$work/m" "$work/archive.run" bench ./setup >/dev/null
  rm -rf "$work/m" "$work/content.bin"
  ls -l "$work/$kind.lzma" "$work/$kind" "$work/archive.run" | awk '{print $5, $9}'
  mapfile -t old < <(before "$kind")
  (cd "$work" && TMPDIR="$work/tmp" measure \
    "bootstrapper=./$kind" \
    "xz -d to a file=xz --format=lzma -dc $kind.lzma > decoded.pak" \
    "makeself=./archive.run --quiet --nox11" "${old[@]}")
  rm -f "$work/$kind" "$work/$kind.before" "$work/$kind.lzma" "$work/archive.run" "$work/decoded.pak"
  echo
done

echo "== peak memory, plain package of ${mem_mib} MiB"
head -c $((mem_mib << 20)) /dev/urandom >"$work/content.bin"
bootstrapper plain "$work/content.bin" 0
rm -f "$work/content.bin" "$work/plain.pak"
mapfile -t old < <(before plain)
(cd "$work" && TMPDIR="$work/tmp" runs=1 measure "bootstrapper=./plain" "${old[@]}")
