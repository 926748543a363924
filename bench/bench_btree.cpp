// ZEPBTree against std::map: building a tree of N random keys, searching it,
// and deleting every key in random order. The BM_BTree_* runs use the
// pooled tree the framework uses; BM_BTreeHeap_* the heap-backed mode.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <random>
#include <vector>

#include "base/zepbtree.h"

namespace {

struct Rec {
  uintptr_t key;
  uintptr_t value;
};

std::vector<uintptr_t> RandomKeys(size_t n, uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::vector<uintptr_t> keys(n);
  for (uintptr_t& k : keys) k = static_cast<uintptr_t>(rng());
  return keys;
}

std::vector<uintptr_t> Shuffled(std::vector<uintptr_t> keys, uint64_t seed) {
  std::shuffle(keys.begin(), keys.end(), std::mt19937_64(seed));
  return keys;
}

std::unique_ptr<ZEPBTree<Rec>> BuildTree(const std::vector<uintptr_t>& keys, bool pools) {
  std::unique_ptr<ZEPBTree<Rec>> t(new ZEPBTree<Rec>(pools));
  for (uintptr_t k : keys) {
    Rec r = {k, k};
    t->InsertKey(r);
  }
  return t;
}

std::map<uintptr_t, Rec> BuildMap(const std::vector<uintptr_t>& keys) {
  std::map<uintptr_t, Rec> m;
  for (uintptr_t k : keys) m.emplace(k, Rec{k, k});
  return m;
}

void TreeInsert(benchmark::State& state, bool pools) {
  const std::vector<uintptr_t> keys = RandomKeys(static_cast<size_t>(state.range(0)), 1);
  for (auto _ : state) {
    state.PauseTiming();
    std::unique_ptr<ZEPBTree<Rec>> t(new ZEPBTree<Rec>(pools));
    state.ResumeTiming();
    for (uintptr_t k : keys) {
      Rec r = {k, k};
      benchmark::DoNotOptimize(t->InsertKey(r));
    }
    state.PauseTiming();
    t.reset();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

void TreeSearch(benchmark::State& state, bool pools) {
  const std::vector<uintptr_t> keys = RandomKeys(static_cast<size_t>(state.range(0)), 1);
  const std::vector<uintptr_t> probes = Shuffled(keys, 2);
  std::unique_ptr<ZEPBTree<Rec>> t = BuildTree(keys, pools);
  size_t i = 0;
  for (auto _ : state) {
    Rec r = {probes[i], 0};
    benchmark::DoNotOptimize(t->SearchKey(r));
    if (++i == probes.size()) i = 0;
  }
  state.SetItemsProcessed(state.iterations());
}

void TreeDelete(benchmark::State& state, bool pools) {
  const std::vector<uintptr_t> keys = RandomKeys(static_cast<size_t>(state.range(0)), 1);
  const std::vector<uintptr_t> order = Shuffled(keys, 3);
  for (auto _ : state) {
    state.PauseTiming();
    std::unique_ptr<ZEPBTree<Rec>> t = BuildTree(keys, pools);
    state.ResumeTiming();
    for (uintptr_t k : order) {
      Rec r = {k, 0};
      benchmark::DoNotOptimize(t->DeleteKey(r));
    }
    state.PauseTiming();
    t.reset();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_BTree_Insert(benchmark::State& state) { TreeInsert(state, true); }
void BM_BTree_Search(benchmark::State& state) { TreeSearch(state, true); }
void BM_BTree_Delete(benchmark::State& state) { TreeDelete(state, true); }
void BM_BTreeHeap_Insert(benchmark::State& state) { TreeInsert(state, false); }
void BM_BTreeHeap_Search(benchmark::State& state) { TreeSearch(state, false); }
void BM_BTreeHeap_Delete(benchmark::State& state) { TreeDelete(state, false); }

void BM_StdMap_Insert(benchmark::State& state) {
  const std::vector<uintptr_t> keys = RandomKeys(static_cast<size_t>(state.range(0)), 1);
  for (auto _ : state) {
    std::map<uintptr_t, Rec> m;
    for (uintptr_t k : keys) benchmark::DoNotOptimize(m.emplace(k, Rec{k, k}));
    state.PauseTiming();
    m.clear();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_StdMap_Search(benchmark::State& state) {
  const std::vector<uintptr_t> keys = RandomKeys(static_cast<size_t>(state.range(0)), 1);
  const std::vector<uintptr_t> probes = Shuffled(keys, 2);
  const std::map<uintptr_t, Rec> m = BuildMap(keys);
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(m.find(probes[i]));
    if (++i == probes.size()) i = 0;
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_StdMap_Delete(benchmark::State& state) {
  const std::vector<uintptr_t> keys = RandomKeys(static_cast<size_t>(state.range(0)), 1);
  const std::vector<uintptr_t> order = Shuffled(keys, 3);
  for (auto _ : state) {
    state.PauseTiming();
    std::map<uintptr_t, Rec> m = BuildMap(keys);
    state.ResumeTiming();
    for (uintptr_t k : order) benchmark::DoNotOptimize(m.erase(k));
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

}  // namespace

BENCHMARK(BM_BTree_Insert)->Arg(1000)->Arg(100000);
BENCHMARK(BM_StdMap_Insert)->Arg(1000)->Arg(100000);
BENCHMARK(BM_BTree_Search)->Arg(1000)->Arg(100000);
BENCHMARK(BM_StdMap_Search)->Arg(1000)->Arg(100000);
BENCHMARK(BM_BTree_Delete)->Arg(1000)->Arg(100000);
BENCHMARK(BM_StdMap_Delete)->Arg(1000)->Arg(100000);
BENCHMARK(BM_BTreeHeap_Insert)->Arg(1000)->Arg(100000);
BENCHMARK(BM_BTreeHeap_Search)->Arg(1000)->Arg(100000);
BENCHMARK(BM_BTreeHeap_Delete)->Arg(1000)->Arg(100000);

BENCHMARK_MAIN();
