// Sequential write and read of a 256 MiB file: TFileStreamEx and
// TMappedFileStream against plain read and write calls, in pieces of 64 KiB.
// Files live in the temporary folder and are removed afterwards.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "common/FileStreams.h"
#include "common/ObjectsFiles.h"
#include "platform/Files.h"

namespace {

constexpr std::int64_t kFileSize = std::int64_t{256} << 20;
constexpr std::int64_t kPiece = 64 << 10;

std::vector<char>& Buffer() {
  static std::vector<char> b = [] {
    std::vector<char> v(kPiece);
    for (std::size_t i = 0; i < v.size(); ++i) v[i] = static_cast<char>(i * 7 + 3);
    return v;
  }();
  return b;
}

std::string BenchFile(const char* tag) {
  return vt::GetTempDir() + "vt_bench_filestreams_" + tag + ".dat";
}

void RemoveFile(const std::string& name) { vt::DeleteFileChecked(name, false); }

// The file the read benchmarks read, written once with plain calls.
const std::string& ReadSource() {
  static const std::string name = [] {
    std::string n = BenchFile("source");
    vt::os::FileHandle h =
        vt::os::CreateFile(n, vt::os::kGenericWrite, 0, vt::os::kCreateAlways, vt::os::kFileAttributeNormal);
    std::int64_t done = 0;
    for (std::int64_t at = 0; at < kFileSize; at += kPiece) vt::os::WriteFile(h, Buffer().data(), kPiece, &done);
    vt::os::CloseFile(h);
    std::atexit([] { RemoveFile(BenchFile("source")); });
    return n;
  }();
  return name;
}

void Finish(benchmark::State& state) {
  state.SetBytesProcessed(state.iterations() * kFileSize);
}

void BM_Write_Plain(benchmark::State& state) {
  const std::string name = BenchFile("plain");
  for (auto _ : state) {
    vt::os::FileHandle h = vt::os::CreateFile(name, vt::os::kGenericRead | vt::os::kGenericWrite, 0,
                                              vt::os::kCreateAlways, vt::os::kFileAttributeNormal);
    std::int64_t done = 0;
    for (std::int64_t at = 0; at < kFileSize; at += kPiece) vt::os::WriteFile(h, Buffer().data(), kPiece, &done);
    vt::os::CloseFile(h);
  }
  RemoveFile(name);
  Finish(state);
}

void BM_Write_FileStreamEx(benchmark::State& state) {
  const std::string name = BenchFile("stream");
  for (auto _ : state) {
    vt::TFileStreamEx f(name, vt::kFileModeCreate, 0, 0);
    for (std::int64_t at = 0; at < kFileSize; at += kPiece) f.WriteBuffer(Buffer().data(), kPiece);
  }
  RemoveFile(name);
  Finish(state);
}

void BM_Write_MappedFileStream(benchmark::State& state) {
  const std::string name = BenchFile("mapped");
  for (auto _ : state) {
    vt::TMappedFileStream f(name, vt::kFileModeCreate, 0, 0);
    for (std::int64_t at = 0; at < kFileSize; at += kPiece) f.WriteBuffer(Buffer().data(), kPiece);
    f.Close();
  }
  RemoveFile(name);
  Finish(state);
}

void BM_Read_Plain(benchmark::State& state) {
  const std::string& name = ReadSource();
  std::vector<char> in(kPiece);
  for (auto _ : state) {
    vt::os::FileHandle h = vt::os::CreateFile(name, vt::os::kGenericRead, vt::os::kFileShareRead,
                                              vt::os::kOpenExisting, vt::os::kFileAttributeNormal);
    std::int64_t done = 0, total = 0;
    while (vt::os::ReadFile(h, in.data(), kPiece, &done) && done > 0) total += done;
    vt::os::CloseFile(h);
    if (total != kFileSize) state.SkipWithError("short read");
    benchmark::DoNotOptimize(in.data());
  }
  Finish(state);
}

void BM_Read_FileStreamEx(benchmark::State& state) {
  const std::string& name = ReadSource();
  std::vector<char> in(kPiece);
  for (auto _ : state) {
    vt::TFileStreamEx f(name, vt::fmOpenRead | vt::fmShareDenyWrite, 0, 0);
    for (std::int64_t at = 0; at < kFileSize; at += kPiece) f.ReadBuffer(in.data(), kPiece);
    benchmark::DoNotOptimize(in.data());
  }
  Finish(state);
}

void BM_Read_MappedFileStream(benchmark::State& state) {
  const std::string& name = ReadSource();
  std::vector<char> in(kPiece);
  for (auto _ : state) {
    vt::TMappedFileStream f(name, vt::fmOpenRead | vt::fmShareDenyWrite, 0, 0);
    for (std::int64_t at = 0; at < kFileSize; at += kPiece) f.ReadBuffer(in.data(), kPiece);
    benchmark::DoNotOptimize(in.data());
    f.Close();
  }
  Finish(state);
}

}  // namespace

BENCHMARK(BM_Write_Plain)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_Write_FileStreamEx)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_Write_MappedFileStream)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_Read_Plain)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_Read_FileStreamEx)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_Read_MappedFileStream)->Unit(benchmark::kMillisecond)->Iterations(3);
