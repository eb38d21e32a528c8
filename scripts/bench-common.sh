# Sourced by the bench-*.sh scripts (from the project's root).
. scripts/configure-common.sh
# bench_json TARGET REPS OUT [FLAGS...]: runs the benchmark program TARGET
# (BIN=... measures another build; else the release build's, brought up to
# date) with REPS interleaved repetitions, its JSON results in OUT.
bench_json() {
  local target=$1 reps=$2 out=$3
  shift 3
  local bin=${BIN:-build/release/bin/$target}
  if [ -z "${BIN:-}" ]; then
    configure_checked --preset release >/dev/null
    cmake --build --preset release -j4 --target "$target"
  fi
  "$bin" "$@" --benchmark_repetitions="$reps" --benchmark_enable_random_interleaving=true \
    --benchmark_format=json >"$out" 2>/dev/null
}
