# Sourced by the bench-*.sh scripts (from the project's root).
# bench_json TARGET REPS OUT [FLAGS...]: runs the benchmark program TARGET
# (BIN=... measures another build; the release build's is built when it is
# missing) with REPS interleaved repetitions, its JSON results in OUT.
bench_json() {
  local target=$1 reps=$2 out=$3
  shift 3
  local bin=${BIN:-build/release/bin/$target}
  [ -x "$bin" ] || { cmake --preset release >/dev/null && cmake --build --preset release -j4 --target "$target"; }
  "$bin" "$@" --benchmark_repetitions="$reps" --benchmark_enable_random_interleaving=true \
    --benchmark_format=json >"$out" 2>/dev/null
}
