// Block-compressed container throughput: CompressToStream and
// TDecompressStream with formats 1 and 3 on 64 MiB of text-like and of
// binary data, against zlib at its fastest level on the same data, and
// memcpy as the limit. The codec cases run the QuickLZ-compatible codec
// alone, block by block between buffers allocated once, on text, a program
// file (the benchmark's own, or the file VT_BENCH_PROGRAM names), random and
// mixed binary data, and random data once more on transparent huge pages.
// The "ratio" counter is output size / input size.
#include <benchmark/benchmark.h>
#include <sys/mman.h>
#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "common/RealTimeCompressStreams.h"
#include "common/StreamUtils.h"
#include "platform/Modules.h"
#include "platform/quicklz/QuickLZCodec.h"

namespace {

constexpr std::size_t kSize = 64u << 20;

std::uint32_t Next(std::uint32_t& x) {
  x = x * 1103515245u + 12345u;
  return x >> 16;
}

// Log-like lines from a small vocabulary with changing numbers.
const std::vector<std::uint8_t>& TextData() {
  static const std::vector<std::uint8_t> data = [] {
    static const char* kWords[] = {"build", "agent", "coordinator", "task", "finished", "started", "cache",
                                   "compile", "link", "file", "error", "warning", "queued", "remote", "local",
                                   "project", "solution", "the", "of", "in", "with", "seconds", "bytes"};
    std::string s;
    s.reserve(kSize + 256);
    std::uint32_t x = 1;
    for (unsigned line = 0; s.size() < kSize; ++line) {
      s += "2024-05-" + std::to_string(10 + line / 100000 % 20) + " " + std::to_string(line % 24) + ":" +
           std::to_string(line % 60) + " [" + std::to_string(1000 + Next(x) % 64) + "] ";
      for (int w = 3 + static_cast<int>(Next(x) % 8); w > 0; --w) {
        s += kWords[Next(x) % (sizeof kWords / sizeof *kWords)];
        s += ' ';
      }
      s += std::to_string(Next(x)) + "\n";
    }
    return std::vector<std::uint8_t>(s.begin(), s.begin() + kSize);
  }();
  return data;
}

// Chunks of 32 KiB of several kinds: records, random bytes, zeros, repeated
// blocks, sparse values.
const std::vector<std::uint8_t>& BinaryData() {
  static const std::vector<std::uint8_t> data = [] {
    std::vector<std::uint8_t> d(kSize);
    std::uint32_t x = 7;
    constexpr std::size_t kChunk = 32768;
    for (std::size_t c = 0; c * kChunk < kSize; ++c) {
      std::uint8_t* p = d.data() + c * kChunk;
      switch (c % 5) {
        case 0:
          for (std::uint32_t j = 0; j < kChunk / 16; ++j) {
            const std::uint32_t rec[4] = {static_cast<std::uint32_t>(c * 2048 + j), j * j, 0xDEADBEEF,
                                          j * 2654435761u};
            std::memcpy(p + j * 16, rec, 16);
          }
          break;
        case 1:
          for (std::size_t i = 0; i < kChunk; ++i) p[i] = static_cast<std::uint8_t>(Next(x));
          break;
        case 2:
          std::memset(p, 0, kChunk);
          break;
        case 3:
          for (std::size_t i = 0; i < kChunk; ++i) p[i] = i < 3000 ? static_cast<std::uint8_t>(Next(x)) : p[i - 3000];
          break;
        default:
          for (std::size_t i = 0; i < kChunk; ++i) p[i] = i % 37 ? 0xFF : static_cast<std::uint8_t>(Next(x));
          break;
      }
    }
    return d;
  }();
  return data;
}

// A program file repeated to kSize bytes.
const std::vector<std::uint8_t>& ProgramData() {
  static const std::vector<std::uint8_t> data = [] {
    const char* name = std::getenv("VT_BENCH_PROGRAM");
    std::ifstream f(name != nullptr ? std::string(name) : vt::os::GetProgramFileName(), std::ios::binary);
    const std::vector<std::uint8_t> file(std::istreambuf_iterator<char>(f), {});
    std::vector<std::uint8_t> d(kSize);
    for (std::size_t i = 0; i < kSize && !file.empty(); i += file.size())
      std::memcpy(d.data() + i, file.data(), std::min(file.size(), kSize - i));
    return d;
  }();
  return data;
}

const std::vector<std::uint8_t>& RandomData() {
  static const std::vector<std::uint8_t> data = [] {
    std::vector<std::uint8_t> d(kSize);
    std::uint64_t x = 88172645463325252ull;
    for (auto& b : d) {
      x ^= x << 13;
      x ^= x >> 7;
      x ^= x << 17;
      b = static_cast<std::uint8_t>(x >> 32);
    }
    return d;
  }();
  return data;
}

// Kinds 0 and 1 are the container's cases; the codec cases use all four.
const std::vector<std::uint8_t>& Data(int kind) {
  switch (kind) {
    case 0:
      return TextData();
    case 1:
      return BinaryData();
    case 2:
      return ProgramData();
    default:
      return RandomData();
  }
}
const char* KindName(int kind) {
  static const char* kNames[] = {"text", "binary", "program", "random"};
  return kNames[kind];
}

void SetThroughput(benchmark::State& state, std::size_t processed, std::size_t compressed) {
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * processed));
  state.counters["ratio"] = static_cast<double>(compressed) / static_cast<double>(processed);
}

void BM_CompressToStream(benchmark::State& state) {
  const auto format = static_cast<std::uint32_t>(state.range(0));
  const auto& in = Data(static_cast<int>(state.range(1)));
  vt::TPointerStream source(const_cast<std::uint8_t*>(in.data()), static_cast<std::int64_t>(in.size()), true);
  std::int64_t written = 0;
  for (auto _ : state) {
    vt::TVirtualStream target;
    source.SetPosition(0);
    written = vt::CompressToStream(source, source.Size(), target, format);
    benchmark::DoNotOptimize(target.Memory());
  }
  state.SetLabel(KindName(static_cast<int>(state.range(1))));
  SetThroughput(state, in.size(), static_cast<std::size_t>(written));
}

void BM_TDecompressStream(benchmark::State& state) {
  const auto format = static_cast<std::uint32_t>(state.range(0));
  const auto& in = Data(static_cast<int>(state.range(1)));
  vt::TPointerStream source(const_cast<std::uint8_t*>(in.data()), static_cast<std::int64_t>(in.size()), true);
  vt::TVirtualStream container;
  vt::CompressToStream(source, source.Size(), container, format);
  std::vector<std::uint8_t> out(in.size());
  for (auto _ : state) {
    vt::TDecompressStream d(&container, 0, 1, false, -1);
    d.ReadBuffer(out.data(), d.Size());
    benchmark::DoNotOptimize(out.data());
  }
  if (out != in) state.SkipWithError("round trip differs");
  state.SetLabel(KindName(static_cast<int>(state.range(1))));
  SetThroughput(state, in.size(), static_cast<std::size_t>(container.Size()));
}

constexpr auto kBlock = static_cast<std::size_t>(vt::kCompressBlockSize);

vt::qlz::Version CodecVersion(const benchmark::State& state) {
  return state.range(0) == 131 ? vt::qlz::Version::k131 : vt::qlz::Version::k120;
}

// Compresses `in` block by block into `out` (kBlock + slack bytes per block);
// answers the packets' total size and, in `sizes`, each packet's size.
std::size_t CompressBlocks(const std::uint8_t* in, std::size_t size, std::uint8_t* out,
                           std::vector<std::size_t>& sizes, vt::qlz::Version version) {
  constexpr std::size_t kCapacity = kBlock + vt::qlz::kCompressSlack;
  std::size_t total = 0;
  sizes.clear();
  for (std::size_t at = 0, b = 0; at < size; at += kBlock, ++b) {
    const std::size_t n = std::min(kBlock, size - at);
    sizes.push_back(vt::qlz::Compress(in + at, n, out + b * kCapacity, kCapacity, version));
    total += sizes.back();
  }
  return total;
}

void BM_CodecCompress(benchmark::State& state) {
  const auto& in = Data(static_cast<int>(state.range(1)));
  const std::size_t blocks = (in.size() + kBlock - 1) / kBlock;
  std::vector<std::uint8_t> out(blocks * (kBlock + vt::qlz::kCompressSlack));
  std::vector<std::size_t> sizes;
  std::size_t total = 0;
  for (auto _ : state) {
    total = CompressBlocks(in.data(), in.size(), out.data(), sizes, CodecVersion(state));
    benchmark::DoNotOptimize(out.data());
  }
  state.SetLabel(KindName(static_cast<int>(state.range(1))));
  SetThroughput(state, in.size(), total);
}

// Memory on transparent huge pages where the system grants them: 2 MiB
// aligned and advised before it is first touched.
class HugePageBuffer {
 public:
  explicit HugePageBuffer(std::size_t n)
      : size_((n + kHuge - 1) / kHuge * kHuge), data_(static_cast<std::uint8_t*>(std::aligned_alloc(kHuge, size_))) {
    ::madvise(data_, size_, MADV_HUGEPAGE);
    std::memset(data_, 0, size_);
  }
  ~HugePageBuffer() { std::free(data_); }
  HugePageBuffer(const HugePageBuffer&) = delete;
  HugePageBuffer& operator=(const HugePageBuffer&) = delete;
  std::uint8_t* data() const { return data_; }

 private:
  static constexpr std::size_t kHuge = 2u << 20;
  std::size_t size_;
  std::uint8_t* data_;
};

// The random case with input and output on huge pages: the sparse scan of
// incompressible blocks then seldom misses the address translation cache.
void BM_CodecCompressHugePages(benchmark::State& state) {
  const auto& data = RandomData();
  const std::size_t blocks = (data.size() + kBlock - 1) / kBlock;
  HugePageBuffer in(data.size()), out(blocks * (kBlock + vt::qlz::kCompressSlack));
  std::memcpy(in.data(), data.data(), data.size());
  std::vector<std::size_t> sizes;
  std::size_t total = 0;
  for (auto _ : state) {
    total = CompressBlocks(in.data(), data.size(), out.data(), sizes, CodecVersion(state));
    benchmark::DoNotOptimize(out.data());
  }
  state.SetLabel("random, huge pages");
  SetThroughput(state, data.size(), total);
}

void BM_CodecDecompress(benchmark::State& state) {
  const auto& in = Data(static_cast<int>(state.range(1)));
  const std::size_t blocks = (in.size() + kBlock - 1) / kBlock;
  std::vector<std::uint8_t> packets(blocks * (kBlock + vt::qlz::kCompressSlack));
  std::vector<std::size_t> sizes;
  const std::size_t total = CompressBlocks(in.data(), in.size(), packets.data(), sizes, CodecVersion(state));
  std::vector<std::uint8_t> out(in.size());
  for (auto _ : state) {
    for (std::size_t b = 0; b < blocks; ++b) {
      const std::size_t n = std::min(kBlock, in.size() - b * kBlock);
      vt::qlz::Decompress(packets.data() + b * (kBlock + vt::qlz::kCompressSlack), sizes[b], out.data() + b * kBlock,
                          n, CodecVersion(state));
    }
    benchmark::DoNotOptimize(out.data());
  }
  if (out != in) state.SkipWithError("round trip differs");
  state.SetLabel(KindName(static_cast<int>(state.range(1))));
  SetThroughput(state, in.size(), total);
}

void BM_ZlibCompressFastest(benchmark::State& state) {
  const auto& in = Data(static_cast<int>(state.range(0)));
  std::vector<std::uint8_t> out(compressBound(in.size()));
  uLongf size = 0;
  for (auto _ : state) {
    size = out.size();
    compress2(out.data(), &size, in.data(), in.size(), Z_BEST_SPEED);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetLabel(KindName(static_cast<int>(state.range(0))));
  SetThroughput(state, in.size(), size);
}

void BM_ZlibDecompress(benchmark::State& state) {
  const auto& in = Data(static_cast<int>(state.range(0)));
  std::vector<std::uint8_t> packed(compressBound(in.size()));
  uLongf packed_size = packed.size();
  compress2(packed.data(), &packed_size, in.data(), in.size(), Z_BEST_SPEED);
  std::vector<std::uint8_t> out(in.size());
  for (auto _ : state) {
    uLongf size = out.size();
    uncompress(out.data(), &size, packed.data(), packed_size);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetLabel(KindName(static_cast<int>(state.range(0))));
  SetThroughput(state, in.size(), packed_size);
}

void BM_Memcpy(benchmark::State& state) {
  const auto& in = Data(0);
  std::vector<std::uint8_t> out(in.size());
  for (auto _ : state) {
    std::memcpy(out.data(), in.data(), in.size());
    benchmark::DoNotOptimize(out.data());
  }
  SetThroughput(state, in.size(), in.size());
}

}  // namespace

BENCHMARK(BM_CompressToStream)->ArgsProduct({{1, 3}, {0, 1}})->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_TDecompressStream)->ArgsProduct({{1, 3}, {0, 1}})->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_CodecCompress)->ArgsProduct({{120, 131}, {0, 1, 2, 3}})->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_CodecCompressHugePages)->Arg(120)->Arg(131)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_CodecDecompress)->ArgsProduct({{120, 131}, {0, 1, 2, 3}})->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_ZlibCompressFastest)->DenseRange(0, 1)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_ZlibDecompress)->DenseRange(0, 1)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_Memcpy)->Unit(benchmark::kMillisecond)->Iterations(3);
