// Steady-state churn: with `live` elements taken, free a random one and take
// one again. The pool has the event pools' shape (100 per block, index
// growth 10); new/delete of the same record is the yardstick.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

#include "base/zepfixmem.h"

namespace {

// About the size of a small framework record (timer record, list node).
struct Record {
  void* links[4];
  int64_t values[4];
};

// A fixed random order of victims, so both contenders do the same work.
std::vector<uint32_t> Victims(size_t live) {
  std::mt19937 rng(7);
  std::vector<uint32_t> v(1 << 16);
  for (auto& x : v) x = rng() % live;
  return v;
}

template <unsigned N, unsigned I>
void FixMemChurn(benchmark::State& state) {
  const size_t live = state.range(0);
  ZEPFixMem<Record, N, I, I> pool;
  std::vector<Record*> held(live);
  for (auto& p : held) p = pool.Malloc();
  const std::vector<uint32_t> victims = Victims(live);
  size_t k = 0;
  for (auto _ : state) {
    Record*& slot = held[victims[k++ & 0xffff]];
    pool.Free(slot);
    slot = pool.Malloc();
    benchmark::DoNotOptimize(slot);
  }
  state.counters["blocks"] = pool.GetBlockCount();
}

void BM_FixMem_MallocFree(benchmark::State& state) { FixMemChurn<100, 10>(state); }
// The record pools' shape: fewer, larger blocks to scan.
void BM_FixMem_MallocFree_Block1000(benchmark::State& state) { FixMemChurn<1000, 1000>(state); }

void BM_NewDelete(benchmark::State& state) {
  const size_t live = state.range(0);
  std::vector<Record*> held(live);
  for (auto& p : held) p = new Record;
  const std::vector<uint32_t> victims = Victims(live);
  size_t k = 0;
  for (auto _ : state) {
    Record*& slot = held[victims[k++ & 0xffff]];
    delete slot;
    slot = new Record;
    benchmark::DoNotOptimize(slot);
  }
  for (auto p : held) delete p;
}

BENCHMARK(BM_FixMem_MallocFree)->Arg(1000)->Arg(100000);
BENCHMARK(BM_FixMem_MallocFree_Block1000)->Arg(1000)->Arg(100000);
BENCHMARK(BM_NewDelete)->Arg(1000)->Arg(100000);

}  // namespace

BENCHMARK_MAIN();
