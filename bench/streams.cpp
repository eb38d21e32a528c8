// TVirtualStream against a plain std::vector<uint8_t> doing the same work:
// sequential writes in pieces (growing from empty) and sequential reads.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "common/StreamUtils.h"

namespace {

// Source bytes for every write (pieces are at most 64 KB).
const std::vector<std::uint8_t>& Source() {
  static const std::vector<std::uint8_t> p(1 << 16, 0x5A);
  return p;
}

// Args: total bytes, piece size.
void BM_VirtualStream_Write(benchmark::State& state) {
  const auto total = state.range(0), piece = state.range(1);
  const auto& src = Source();
  for (auto _ : state) {
    vt::TVirtualStream s;
    for (std::int64_t done = 0; done < total; done += piece) s.WriteBuffer(src.data(), piece);
    benchmark::DoNotOptimize(s.Memory());
  }
  state.SetBytesProcessed(state.iterations() * total);
}

void BM_Vector_Write(benchmark::State& state) {
  const auto total = state.range(0), piece = state.range(1);
  const auto& src = Source();
  for (auto _ : state) {
    std::vector<std::uint8_t> v;
    for (std::int64_t done = 0; done < total; done += piece) v.insert(v.end(), src.data(), src.data() + piece);
    benchmark::DoNotOptimize(v.data());
  }
  state.SetBytesProcessed(state.iterations() * total);
}

void BM_VirtualStream_Read(benchmark::State& state) {
  const auto total = state.range(0), piece = state.range(1);
  vt::TVirtualStream s;
  s.SetSize(total);
  std::memset(s.Memory(), 1, static_cast<std::size_t>(total));
  std::vector<std::uint8_t> dst(static_cast<std::size_t>(piece));
  for (auto _ : state) {
    s.SetPosition(0);
    for (std::int64_t done = 0; done < total; done += piece) s.ReadBuffer(dst.data(), piece);
    benchmark::DoNotOptimize(dst.data());
  }
  state.SetBytesProcessed(state.iterations() * total);
}

void BM_Vector_Read(benchmark::State& state) {
  const auto total = state.range(0), piece = state.range(1);
  std::vector<std::uint8_t> v(static_cast<std::size_t>(total), 1);
  std::vector<std::uint8_t> dst(static_cast<std::size_t>(piece));
  for (auto _ : state) {
    std::size_t pos = 0;
    for (std::int64_t done = 0; done < total; done += piece) {
      std::memcpy(dst.data(), v.data() + pos, static_cast<std::size_t>(piece));
      pos += static_cast<std::size_t>(piece);
    }
    benchmark::DoNotOptimize(dst.data());
  }
  state.SetBytesProcessed(state.iterations() * total);
}

void Sizes(benchmark::internal::Benchmark* b) {
  for (std::int64_t total : {std::int64_t{64} << 10, std::int64_t{16} << 20}) {
    for (std::int64_t piece : {16, 4096}) b->Args({total, piece});
  }
}

BENCHMARK(BM_VirtualStream_Write)->Apply(Sizes);
BENCHMARK(BM_Vector_Write)->Apply(Sizes);
BENCHMARK(BM_VirtualStream_Read)->Apply(Sizes);
BENCHMARK(BM_Vector_Read)->Apply(Sizes);

}  // namespace
