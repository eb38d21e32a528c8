#!/usr/bin/env bash
# Whole-program timing of the bootstrapper, side by side with public tools
# (not part of CI). A bootstrapper carrying a setup of about 200 MB (the
# sample inner setup plus one file entry made of system programs and
# libraries) is timed against
#   - xz decoding the same LZMA payload to a file (decoding plus writing),
#   - a makeself archive (xz, level 6) of the same package that extracts it
#     to a temporary folder, runs the sample setup and removes the folder.
# Needs hyperfine and makeself (installed here when missing).
# Usage: scripts/bench-bootstrapper.sh [size-in-MiB]   (default 200)
set -euo pipefail
cd "$(dirname "$0")/.."
size_mib=${1:-200}

need=()
for p in hyperfine makeself xz-utils; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || need+=("$p")
done
if ((${#need[@]})); then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${need[@]}"
fi
scripts/deps.sh
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)" >/dev/null

bin=$PWD/build/release/bin
work=$(mktemp -d "${BENCH_DIR:-${TMPDIR:-/tmp}}/vt_bench_XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/tmp"

echo "Making a ${size_mib} MiB setup package..."
limit=$((size_mib * 1024 * 1024))
find /usr/lib /usr/bin -xdev -type f -size +16k 2>/dev/null | LC_ALL=C sort | while read -r f; do
  cat "$f" 2>/dev/null || true
done | head -c "$limit" >"$work/content.bin"
"$bin/vt_make_setup_pak" "$bin/vt_sample_setup.exe" "$work/Setup.pak" \
  --metadata "$work/metadata.bin" 1 --file content.bin "$work/content.bin"
echo "Compressing it (LZMA-alone, preset 6; takes a while)..."
"$bin/vt_lzma" e "$work/Setup.pak" "$work/Setup.lzma"
"$bin/vtpack" "$bin/vt_install" -o "$work/bootstrapper" --subsystem console \
  --add RCDATA 1000 "$work/Setup.lzma" --add RCDATA 1001 "$work/metadata.bin" \
  --add RCDATA 1002 "$bin/vt_lzma" --add MANIFEST 1 src/bootstrapper/install/Install.manifest

echo "Making the makeself archive..."
mkdir -p "$work/m"
cp "$work/Setup.pak" "$work/m/Setup.pak"
cp "$bin/vt_sample_setup_elf" "$work/m/setup"
makeself --xz --complevel 6 --nomd5 --nocrc --nox11 --quiet "$work/m" "$work/archive.run" "bench" ./setup >/dev/null
rm -rf "$work/m" "$work/content.bin"

ls -l "$work/Setup.pak" "$work/Setup.lzma" "$work/bootstrapper" "$work/archive.run"
echo
cd "$work"
TMPDIR="$work/tmp" hyperfine --warmup 1 --runs 5 --export-markdown "$work/results.md" \
  -n bootstrapper "./bootstrapper" \
  -n "xz -d to a file" "xz --format=lzma -dc Setup.lzma > decoded.pak" \
  -n makeself "./archive.run --quiet --nox11"
echo
cat "$work/results.md"
