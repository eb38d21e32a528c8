// Save and load of a filled build command packet, stand-alone and through a
// streaming context, beside a plain copy of the same bytes.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "catalogues/BuildPackets.h"
#include "common/PacketContext.h"

namespace vt {
namespace {

void Fill(TBuildCommandPacket& p) {
  p.BuildID = GuidLiteral("{0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0}");
  p.Flags = {1, 2, 3, 4, 5, 6};
  p.Caption = "Solution 'Engine' (42 projects)";
  p.PrimaryFilename = "C:\\work\\engine\\Engine.sln";
  p.EnvBlock = std::string(1500, 'E');
  p.LocalAppDataDir = u"C:\\Users\\builder\\AppData\\Local";
  for (int i = 0; i < 20; ++i) p.SelectedSources.Add("src\\module" + std::to_string(i) + "\\file.cpp");
  for (int i = 0; i < 10; ++i) p.LoadedProjectPaths.Add("C:\\work\\engine\\proj" + std::to_string(i) + ".vcxproj");
  p.CompilerParamsAdd.Add("/O2");
  p.LinkerParamsAdd.Add("/DEBUG:FASTLINK");
  p.CurDir = "C:\\work\\engine";
  p.Command = "Build";
  p.BuildConsoleCommandLine = "Engine.sln /build \"Release|x64\"";
  p.OverrideMaxHelpersPerJob = 16;
  for (int i = 0; i < 10; ++i) {
    auto& proj = p.ActiveProjects.AddNew();
    proj.Name = "proj" + std::to_string(i);
    proj.Config = "Release|x64";
    proj.MSBuildName = proj.Name;
  }
  p.MinWinVer_Major = 6;
  p.MaxWinVer_Major = 10;
  p.ForcedEnv.Add("CL=/MP");
  p.LogWarnings = true;
  p.InitiatorName = "builder";
  p.MSBuildArgs = "/m /nologo";
  p.InjectBase = 0x7FF000000000ll;
  p.MonitoredDirs.Add("C:\\work\\engine\\out");
  p.ConsoleOutputCodePage = 65001;
}

struct Setup {
  Setup() {
    static const UnitEntry units[] = {kPacketsUnit, kBuildPacketsUnit};
    InitializeUnits(units);
    Fill(packet);
    SavePacket(packet, saved);
    TPacketStreamingContext ctx;
    SavePacket(packet, warm, &ctx);  // the definition
    const std::int64_t start = warm.Size();
    SavePacket(packet, warm, &ctx);  // a reference
    context_size = warm.Size() - start;
  }
  TBuildCommandPacket packet;
  TMemoryStream saved;
  TMemoryStream warm;
  std::int64_t context_size = 0;
};

Setup& S() {
  static Setup s;
  return s;
}

void Report(benchmark::State& state, std::int64_t bytes) {
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * bytes);
  state.counters["bytes"] = static_cast<double>(bytes);
}

void BM_SaveStandAlone(benchmark::State& state) {
  TMemoryStream out;
  for (auto _ : state) {
    out.SetPosition(0);
    SavePacket(S().packet, out);
    benchmark::DoNotOptimize(out.Memory());
  }
  Report(state, S().saved.Size());
}

void BM_LoadStandAlone(benchmark::State& state) {
  TMemoryStream& in = S().saved;
  for (auto _ : state) {
    in.SetPosition(0);
    auto p = LoadPacket(in);
    benchmark::DoNotOptimize(p.get());
  }
  Report(state, in.Size());
}

void BM_LoadIntoStandAlone(benchmark::State& state) {
  TMemoryStream& in = S().saved;
  TBuildCommandPacket p;
  for (auto _ : state) {
    in.SetPosition(0);
    LoadPacketInto(p, in);
    benchmark::DoNotOptimize(&p);
  }
  Report(state, in.Size());
}

// Through a context that knows the class: each packet is the short
// reference and its payload.
void BM_SaveContext(benchmark::State& state) {
  TMemoryStream out;
  TPacketStreamingContext ctx;
  SavePacket(S().packet, out, &ctx);
  for (auto _ : state) {
    out.SetPosition(0);
    SavePacket(S().packet, out, &ctx);
    benchmark::DoNotOptimize(out.Memory());
  }
  Report(state, S().context_size);
}

void BM_LoadContext(benchmark::State& state) {
  TMemoryStream& in = S().warm;
  const std::int64_t second = in.Size() - S().context_size;
  TPacketStreamingContext ctx;
  in.SetPosition(0);
  LoadPacket(in, &ctx);
  for (auto _ : state) {
    in.SetPosition(second);
    auto p = LoadPacket(in, &ctx);
    benchmark::DoNotOptimize(p.get());
  }
  Report(state, S().context_size);
}

void BM_MemcpySameBytes(benchmark::State& state) {
  const std::int64_t n = S().saved.Size();
  std::vector<char> dst(static_cast<std::size_t>(n));
  for (auto _ : state) {
    std::memcpy(dst.data(), S().saved.Memory(), static_cast<std::size_t>(n));
    benchmark::DoNotOptimize(dst.data());
    benchmark::ClobberMemory();
  }
  Report(state, n);
}

BENCHMARK(BM_SaveStandAlone);
BENCHMARK(BM_LoadStandAlone);
BENCHMARK(BM_LoadIntoStandAlone);
BENCHMARK(BM_SaveContext);
BENCHMARK(BM_LoadContext);
BENCHMARK(BM_MemcpySameBytes);

}  // namespace
}  // namespace vt
