// Save and load of a filled build command packet, stand-alone and through a
// streaming context, beside a plain copy of the same bytes; and two big
// packets (100,000 strings in one list; 100,000 small project packets)
// beside a minimal serializer of the same strings (length + bytes into a
// vector, back into strings). Run the big cases with
//   --benchmark_filter=Big --benchmark_repetitions=9
//   --benchmark_enable_random_interleaving=true
// and compare medians.
#include <benchmark/benchmark.h>

#include <array>
#include <cstring>
#include <string>
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

// Loads a saved build command over one packet, again and again.
void LoadIntoLoop(benchmark::State& state, TMemoryStream& in) {
  TBuildCommandPacket p;
  for (auto _ : state) {
    in.SetPosition(0);
    LoadPacketInto(p, in);
    benchmark::DoNotOptimize(&p);
  }
  Report(state, in.Size());
}

void BM_LoadIntoStandAlone(benchmark::State& state) { LoadIntoLoop(state, S().saved); }

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

// ---- Big packets ----------------------------------------------------------

constexpr int kBigCount = 100000;

struct BigSetup {
  BigSetup() {
    S();
    for (int i = 0; i < kBigCount; ++i) strings.SelectedSources.Add("src\\module" + std::to_string(i) + "\\file.cpp");
    for (int i = 0; i < kBigCount; ++i) {
      auto& proj = projects.ActiveProjects.AddNew();
      proj.Name = "proj" + std::to_string(i);
      proj.Config = "Release|x64";
      proj.RelativePath_Optional = "engine\\proj" + std::to_string(i) + ".vcxproj";
      proj.MSBuildName = proj.Name;
    }
    SavePacket(strings, strings_saved);
    SavePacket(projects, projects_saved);
  }
  TBuildCommandPacket strings;
  TBuildCommandPacket projects;
  TMemoryStream strings_saved;
  TMemoryStream projects_saved;
};

BigSetup& B() {
  static BigSetup b;
  return b;
}

// The minimal serializer: 4-byte length and bytes appended to a vector.
void PutString(std::vector<std::uint8_t>& out, const std::string& s) {
  const std::uint32_t n = static_cast<std::uint32_t>(s.size());
  const std::size_t at = out.size();
  out.resize(at + 4 + n);
  std::memcpy(out.data() + at, &n, 4);
  std::memcpy(out.data() + at + 4, s.data(), n);
}

std::string GetString(const std::uint8_t*& p) {
  std::uint32_t n;
  std::memcpy(&n, p, 4);
  std::string s(reinterpret_cast<const char*>(p + 4), n);
  p += 4 + n;
  return s;
}

using Project = std::array<std::string, 5>;

struct Plain {
  std::vector<std::string> strings;
  std::vector<Project> projects;
  Plain() {
    for (int i = 0; i < kBigCount; ++i) strings.push_back(B().strings.SelectedSources.Get(i));
    for (int i = 0; i < kBigCount; ++i) {
      const auto& p = B().projects.ActiveProjects.Items(i);
      projects.push_back({p.Name, p.Config, p.RelativePath_Optional, p.MSBuildName, p.IdeName});
    }
  }
};

Plain& P() {
  static Plain p;
  return p;
}

// The minimal serializer of one item: a string, or a project's strings.
void Put(std::vector<std::uint8_t>& out, const std::string& s) { PutString(out, s); }
void Put(std::vector<std::uint8_t>& out, const Project& pr) {
  for (const std::string& s : pr) PutString(out, s);
}
void Get(const std::uint8_t*& p, std::string& s) { s = GetString(p); }
void Get(const std::uint8_t*& p, Project& pr) {
  for (std::string& s : pr) s = GetString(p);
}

template <typename T>
void SavePlain(const std::vector<T>& in, std::vector<std::uint8_t>& out) {
  out.clear();
  const std::uint32_t n = static_cast<std::uint32_t>(in.size());
  out.insert(out.end(), reinterpret_cast<const std::uint8_t*>(&n), reinterpret_cast<const std::uint8_t*>(&n) + 4);
  for (const T& item : in) Put(out, item);
}

template <typename T>
void LoadPlain(const std::vector<std::uint8_t>& in, std::vector<T>& out) {
  const std::uint8_t* p = in.data();
  std::uint32_t n;
  std::memcpy(&n, p, 4);
  p += 4;
  out.clear();
  out.reserve(n);
  for (std::uint32_t i = 0; i < n; ++i) Get(p, out.emplace_back());
}

// The big cases: Which picks the strings packet or the projects packet.
TBuildCommandPacket& BigPacket(int which) { return which == 0 ? B().strings : B().projects; }
TMemoryStream& BigSaved(int which) { return which == 0 ? B().strings_saved : B().projects_saved; }

void BM_BigSavePacket(benchmark::State& state, int which) {
  TMemoryStream out;
  for (auto _ : state) {
    out.SetPosition(0);
    SavePacket(BigPacket(which), out);
    benchmark::DoNotOptimize(out.Memory());
  }
  Report(state, BigSaved(which).Size());
}

void BM_BigLoadPacket(benchmark::State& state, int which) { LoadIntoLoop(state, BigSaved(which)); }

template <typename T>
void BM_BigSavePlain(benchmark::State& state, std::vector<T>& (*items)()) {
  std::vector<std::uint8_t> out;
  for (auto _ : state) {
    SavePlain(items(), out);
    benchmark::DoNotOptimize(out.data());
  }
  Report(state, static_cast<std::int64_t>(out.size()));
}

template <typename T>
void BM_BigLoadPlain(benchmark::State& state, std::vector<T>& (*items)()) {
  std::vector<std::uint8_t> in;
  SavePlain(items(), in);
  std::vector<T> out;
  for (auto _ : state) {
    LoadPlain(in, out);
    benchmark::DoNotOptimize(out.data());
  }
  Report(state, static_cast<std::int64_t>(in.size()));
}

std::vector<std::string>& PlainStrings() { return P().strings; }
std::vector<Project>& PlainProjects() { return P().projects; }

BENCHMARK(BM_SaveStandAlone);
BENCHMARK(BM_LoadStandAlone);
BENCHMARK(BM_LoadIntoStandAlone);
BENCHMARK(BM_SaveContext);
BENCHMARK(BM_LoadContext);
BENCHMARK(BM_MemcpySameBytes);
BENCHMARK_CAPTURE(BM_BigSavePacket, Strings, 0)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_BigSavePlain, Strings, &PlainStrings)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_BigLoadPacket, Strings, 0)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_BigLoadPlain, Strings, &PlainStrings)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_BigSavePacket, Projects, 1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_BigSavePlain, Projects, &PlainProjects)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_BigLoadPacket, Projects, 1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_BigLoadPlain, Projects, &PlainProjects)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace vt
