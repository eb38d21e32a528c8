#!/usr/bin/env bash
# Builds everything and runs every test: g++ release build, a plain g++
# Release build with its install, clang build, AddressSanitizer + UBSan
# build, and a short run of each fuzz target.
#
# Each stage's tests run in a session (and process group) of their own: a
# signal a test sends to its whole group ends that stage only, which then
# fails with its name.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/configure-common.sh
scripts/deps.sh
jobs=$(nproc)

stage=""
step() {
  stage=$*
  echo; echo "=== $* === (at ${SECONDS}s)"
}
fail() { echo; echo "FAILED: $stage: $*"; exit 1; }

# The sessions running now; ended with the script however it ends.
sessions=()
end_sessions() {
  local s
  for s in "${sessions[@]}"; do kill -TERM -- "-$s" 2>/dev/null || true; done
}
trap end_sessions EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# Starts a command in a session of its own, in the background; its pid (the
# session's and group's id) in $!.
start_in_session() {
  setsid "$@" &
  sessions+=("$!")
}

# Why a session's command ended with status $1, for a message.
ending() {
  local rc=$1
  if ((rc > 128 && rc < 128 + 65)); then echo "ended by signal $((rc - 128)) ($(kill -l "$((rc - 128))"))"
  else echo "exit status $rc"; fi
}

# Runs the stage's tests (a command) in a session of their own and waits.
stage_tests() {
  local rc=0
  start_in_session "$@"
  wait "$!" || rc=$?
  unset 'sessions[-1]'
  ((rc == 0)) || fail "$* ($(ending "$rc"))"
}

step "release build (g++)"
configure_checked --preset release >/dev/null
cmake --build --preset release -j "$jobs"
stage_tests ctest --preset release -j "$jobs"
# Each test binary once more as one process, in a shuffled order: no test
# may rely on what another left behind or on running first.
step "release build (g++): each test program as one shuffled process"
pids=()
for t in build/release/bin/vt_tests_*; do
  start_in_session "$t" --gtest_shuffle >"$t.shuffled.log" 2>&1
  pids+=("$!:$t")
done
for entry in "${pids[@]}"; do
  t=${entry#*:}
  rc=0
  wait "${entry%%:*}" || rc=$?
  if ((rc)); then
    grep -m1 "Randomizing tests' orders" "$t.shuffled.log" || true
    grep -E "FAILED|Failure" -A5 "$t.shuffled.log" | head -80 || true  # head may end grep early
    tail -5 "$t.shuffled.log"
    fail "$t as one shuffled process ($(ending "$rc"))"
  fi
  echo "$(basename "$t"): $(grep -E '^\[  PASSED' "$t.shuffled.log" | tail -1) (one process, shuffled)"
  rm -f "$t.shuffled.log"
done
sessions=()

step "plain Release build (g++), as a packager builds"
configure_checked -S . -B build/plain -G Ninja -DCMAKE_BUILD_TYPE=Release -DVT_WERROR=ON >/dev/null
cmake --build build/plain -j "$jobs"
stage_tests ctest --test-dir build/plain -j "$jobs" --output-on-failure --timeout 600

step "install, move, and ship a setup with the README's recipe"
stage_tests scripts/ship-test.sh build/plain

step "clang build"
configure_checked --preset clang >/dev/null
cmake --build --preset clang -j "$jobs"
stage_tests ctest --preset clang -j "$jobs"

step "AddressSanitizer + UBSan"
configure_checked --preset asan >/dev/null
cmake --build --preset asan -j "$jobs"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 stage_tests ctest --preset asan -j "$jobs"

step "fuzz targets (short runs)"
configure_checked --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$jobs"
fuzz_seconds=${VT_FUZZ_SECONDS:-20}
shopt -s nullglob
for f in build/fuzz/bin/fuzz_*; do
  name=$(basename "$f")
  corpus="fuzz/corpus/${name#fuzz_}"
  work=$(mktemp -d)
  [ -d "$corpus" ] && cp -r "$corpus"/. "$work"/
  echo "$name: ${fuzz_seconds}s"
  rc=0
  start_in_session "$f" -max_total_time="$fuzz_seconds" -rss_limit_mb=2048 -max_len=65536 -print_final_stats=0 \
    "$work" 2>"$work.log"
  wait "$!" || rc=$?
  unset 'sessions[-1]'
  ((rc == 0)) || { tail -50 "$work.log"; fail "$name ($(ending "$rc"))"; }
  rm -rf "$work" "$work.log"
done
echo
echo "All tests passed (${SECONDS}s)."
