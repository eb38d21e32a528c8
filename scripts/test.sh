#!/usr/bin/env bash
# Builds everything and runs every test: g++ release build, a plain g++
# Release build with its install, clang build, AddressSanitizer + UBSan
# build, and a short run of each fuzz target.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
jobs=$(nproc)

step() { echo; echo "=== $* ==="; }

step "release build (g++)"
cmake --preset release >/dev/null
cmake --build --preset release -j "$jobs"
ctest --preset release -j "$jobs"
# Each test binary once more as one process, in a shuffled order: no test
# may rely on what another left behind or on running first.
pids=()
for t in build/release/bin/vt_tests_*; do
  "$t" --gtest_shuffle >"$t.shuffled.log" 2>&1 &
  pids+=("$!:$t")
done
for entry in "${pids[@]}"; do
  t=${entry#*:}
  wait "${entry%%:*}" || { grep -E "FAILED|Failure" -A5 "$t.shuffled.log" | head -80; echo "$t failed as one shuffled process"; exit 1; }
  echo "$(basename "$t"): $(grep -E '^\[  PASSED' "$t.shuffled.log") (one process, shuffled)"
  rm -f "$t.shuffled.log"
done

step "plain Release build (g++), as a packager builds"
cmake -S . -B build/plain -G Ninja -DCMAKE_BUILD_TYPE=Release -DVT_WERROR=ON >/dev/null
cmake --build build/plain -j "$jobs"
ctest --test-dir build/plain -j "$jobs" --output-on-failure --timeout 600

step "install, move, and ship a setup with the README's recipe"
scripts/ship-test.sh build/plain

step "clang build"
cmake --preset clang >/dev/null
cmake --build --preset clang -j "$jobs"

step "AddressSanitizer + UBSan"
cmake --preset asan >/dev/null
cmake --build --preset asan -j "$jobs"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 ctest --preset asan -j "$jobs"

step "fuzz targets (short runs)"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$jobs"
fuzz_seconds=${VT_FUZZ_SECONDS:-20}
shopt -s nullglob
for f in build/fuzz/bin/fuzz_*; do
  name=$(basename "$f")
  corpus="fuzz/corpus/${name#fuzz_}"
  work=$(mktemp -d)
  [ -d "$corpus" ] && cp -r "$corpus"/. "$work"/
  echo "$name: ${fuzz_seconds}s"
  "$f" -max_total_time="$fuzz_seconds" -rss_limit_mb=2048 -max_len=65536 -print_final_stats=0 "$work" 2>"$work.log" \
    || { tail -50 "$work.log"; exit 1; }
  rm -rf "$work" "$work.log"
done
echo
echo "All tests passed."
