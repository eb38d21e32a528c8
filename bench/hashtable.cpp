// Hash-table look-ups: the library's tables against std::unordered_map with
// the same keys, all keys present.
#include <benchmark/benchmark.h>

#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "common/TypedLists.h"

namespace {

std::vector<std::int32_t> IntKeys(std::size_t n) {
  std::mt19937 rng(42);
  std::vector<std::int32_t> keys(n);
  for (auto& k : keys) k = static_cast<std::int32_t>(rng());
  return keys;
}

std::vector<std::string> StringKeys(std::size_t n) {
  std::vector<std::string> keys;
  for (std::size_t i = 0; i < n; ++i) keys.push_back("TSomePacketClass_" + std::to_string(i * 7919));
  return keys;
}

std::vector<vt::TGUID> GuidKeys(std::size_t n) {
  std::mt19937 rng(7);
  std::vector<vt::TGUID> keys(n);
  for (auto& g : keys) {
    g.D1 = rng();
    g.D2 = static_cast<std::uint16_t>(rng());
    g.D3 = static_cast<std::uint16_t>(rng());
    for (auto& b : g.D4) b = static_cast<std::uint8_t>(rng());
  }
  return keys;
}

struct GuidHash {
  std::size_t operator()(const vt::TGUID& g) const { return vt::FirstWordHash(&g); }
};
struct GuidEq {
  bool operator()(const vt::TGUID& a, const vt::TGUID& b) const { return vt::GuidsEqual(a, b); }
};

// Args: keys, hash bits (for the library's table).
void BM_IntTable_Lookup(benchmark::State& state) {
  const auto keys = IntKeys(static_cast<std::size_t>(state.range(0)));
  vt::TIntegerIntegerMap_HashTable t(vt::dupIgnore, 0, static_cast<int>(state.range(1)));
  for (std::size_t i = 0; i < keys.size(); ++i) t.Add(keys[i], static_cast<std::int32_t>(i));
  for (auto _ : state) {
    std::int64_t sum = 0;
    for (auto k : keys) sum += t.Lookup(k, 0);
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(keys.size()));
}

void BM_IntUnorderedMap_Lookup(benchmark::State& state) {
  const auto keys = IntKeys(static_cast<std::size_t>(state.range(0)));
  std::unordered_map<std::int32_t, std::int32_t> m;
  for (std::size_t i = 0; i < keys.size(); ++i) m.emplace(keys[i], static_cast<std::int32_t>(i));
  for (auto _ : state) {
    std::int64_t sum = 0;
    for (auto k : keys) sum += m.find(k)->second;
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(keys.size()));
}

void BM_StringTable_Lookup(benchmark::State& state) {
  const auto keys = StringKeys(static_cast<std::size_t>(state.range(0)));
  vt::TStringIntegerIntegerMap_HashTable t(vt::dupIgnore, vt::loIgnoreCase, static_cast<int>(state.range(1)));
  for (std::size_t i = 0; i < keys.size(); ++i) t.Add(keys[i], static_cast<std::int32_t>(i), 0);
  for (auto _ : state) {
    std::int64_t sum = 0;
    for (const auto& k : keys) sum += t.Find(k)->Value1;
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(keys.size()));
}

void BM_StringUnorderedMap_Lookup(benchmark::State& state) {
  const auto keys = StringKeys(static_cast<std::size_t>(state.range(0)));
  std::unordered_map<std::string, std::int32_t> m;
  for (std::size_t i = 0; i < keys.size(); ++i) m.emplace(keys[i], static_cast<std::int32_t>(i));
  for (auto _ : state) {
    std::int64_t sum = 0;
    for (const auto& k : keys) sum += m.find(k)->second;
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(keys.size()));
}

void BM_GuidTable_Lookup(benchmark::State& state) {
  const auto keys = GuidKeys(static_cast<std::size_t>(state.range(0)));
  vt::TGuidListEx_HashTable t(vt::dupError, 0, static_cast<int>(state.range(1)));
  for (const auto& g : keys) t.Add(g, nullptr);
  for (auto _ : state) {
    std::size_t found = 0;
    for (const auto& g : keys) found += t.Find(g) != nullptr;
    benchmark::DoNotOptimize(found);
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(keys.size()));
}

void BM_GuidUnorderedMap_Lookup(benchmark::State& state) {
  const auto keys = GuidKeys(static_cast<std::size_t>(state.range(0)));
  std::unordered_map<vt::TGUID, vt::TObject*, GuidHash, GuidEq> m;
  for (const auto& g : keys) m.emplace(g, nullptr);
  for (auto _ : state) {
    std::size_t found = 0;
    for (const auto& g : keys) found += m.find(g) != m.end();
    benchmark::DoNotOptimize(found);
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(keys.size()));
}

BENCHMARK(BM_IntTable_Lookup)->Args({1000, 10})->Args({100000, 16});
BENCHMARK(BM_IntUnorderedMap_Lookup)->Args({1000, 10})->Args({100000, 16});
BENCHMARK(BM_StringTable_Lookup)->Args({1000, 10});
BENCHMARK(BM_StringUnorderedMap_Lookup)->Args({1000, 10});
// The class registry's shape: 32 buckets, about 1000 classes.
BENCHMARK(BM_GuidTable_Lookup)->Args({1000, 5})->Args({1000, 10});
BENCHMARK(BM_GuidUnorderedMap_Lookup)->Args({1000, 5});

}  // namespace
