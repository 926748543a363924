#include "base/zepfixmem.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <iterator>
#include <map>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include "base/lockguard.h"

namespace {

// Counts constructions and destructions to show that elements are built
// once per block, not per Malloc.
struct Tracked {
  static int s_nCtor;
  static int s_nDtor;
  Tracked() : value(-1) { ++s_nCtor; }
  ~Tracked() { ++s_nDtor; }
  int value;
};
int Tracked::s_nCtor = 0;
int Tracked::s_nDtor = 0;

template <class T>
uintptr_t Addr(T* p) {
  return reinterpret_cast<uintptr_t>(p);
}

TEST(ZepFixMemTest, FirstBlockHandsOutElementsInOrder) {
  ZEPFixMem<int, 10, 10, 10> pool;
  EXPECT_EQ(pool.GetBlockCount(), 0u);
  int* first = pool.Malloc();
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(pool.GetBlockCount(), 1u);
  for (int k = 1; k < 10; ++k) EXPECT_EQ(pool.Malloc(), first + k) << "element " << k;
  EXPECT_EQ(pool.GetBlockCount(), 1u);
  EXPECT_EQ(pool.GetCount(), 10u);
}

TEST(ZepFixMemTest, MallocPastABlockMakesASecondBlock) {
  // N = 33 crosses a bitmap word; N = 10 leaves padding bits in its word:
  // neither may hand out an element beyond N.
  ZEPFixMem<int, 33, 10, 10> pool;
  int* first = pool.Malloc();
  for (int k = 1; k < 33; ++k) ASSERT_EQ(pool.Malloc(), first + k);
  int* second = pool.Malloc();
  EXPECT_EQ(pool.GetBlockCount(), 2u);
  EXPECT_TRUE(second < first || second >= first + 33);

  ZEPFixMem<int, 10, 10, 10> small;
  int* base = small.Malloc();
  for (int k = 1; k < 10; ++k) small.Malloc();
  int* next = small.Malloc();
  EXPECT_EQ(small.GetBlockCount(), 2u);
  EXPECT_TRUE(next < base || next >= base + 10);
}

TEST(ZepFixMemTest, FreedElementIsReusedFirst) {
  ZEPFixMem<int, 10, 10, 10> pool;
  int* first = pool.Malloc();
  for (int k = 1; k < 10; ++k) pool.Malloc();
  EXPECT_EQ(pool.Free(first + 5), 0);
  EXPECT_EQ(pool.GetCount(), 9u);
  EXPECT_EQ(pool.Malloc(), first + 5);
  EXPECT_EQ(pool.GetBlockCount(), 1u);
}

TEST(ZepFixMemTest, LowestAddressedBlockWithRoomIsPreferred) {
  ZEPFixMem<int, 4, 10, 10> pool;
  int* a = pool.Malloc();
  for (int k = 1; k < 4; ++k) pool.Malloc();
  int* b = pool.Malloc();
  for (int k = 1; k < 4; ++k) pool.Malloc();
  int* low = a < b ? a : b;
  int* high = a < b ? b : a;
  ASSERT_EQ(pool.Free(high + 1), 0);
  ASSERT_EQ(pool.Free(low + 3), 0);
  // The later slot of the lower block comes before the earlier slot of the
  // higher one.
  EXPECT_EQ(pool.Malloc(), low + 3);
  EXPECT_EQ(pool.Malloc(), high + 1);
}

TEST(ZepFixMemTest, IndexGrowsByGWhenFull) {
  // One element per block: every Malloc is a new block.
  ZEPFixMem<long, 1, 10, 10> pool;
  std::vector<long*> even;
  for (int i = 0; i < 10; ++i) even.push_back(pool.Malloc());
  EXPECT_EQ(pool.GetBlockCount(), 10u);
  EXPECT_EQ(pool.GetIndexSize(), 10u);
  even.push_back(pool.Malloc());
  EXPECT_EQ(pool.GetBlockCount(), 11u);
  EXPECT_EQ(pool.GetIndexSize(), 20u);

  ZEPFixMem<long, 1, 3, 5> uneven;
  std::vector<long*> odd;
  for (int i = 0; i < 3; ++i) odd.push_back(uneven.Malloc());
  EXPECT_EQ(uneven.GetIndexSize(), 3u);
  odd.push_back(uneven.Malloc());
  EXPECT_EQ(uneven.GetIndexSize(), 8u);
  for (int i = 0; i < 5; ++i) odd.push_back(uneven.Malloc());
  EXPECT_EQ(uneven.GetIndexSize(), 13u);

  // Free finds every block by bisection, so the grown index must still be
  // sorted by address.
  for (long* p : even) EXPECT_EQ(pool.Free(p), 0);
  for (long* p : odd) EXPECT_EQ(uneven.Free(p), 0);
  EXPECT_EQ(pool.GetCount(), 0u);
  EXPECT_EQ(uneven.GetCount(), 0u);
  EXPECT_EQ(pool.GetBlockCount(), 11u);  // blocks stay until the pool goes
}

TEST(ZepFixMemTest, FreeResultCodes) {
  struct Rec {
    int a, b;
  };
  ZEPFixMem<Rec, 10, 10, 10> pool;
  EXPECT_EQ(pool.Free(reinterpret_cast<Rec*>(uintptr_t(64))), -2) << "empty pool";
  Rec* first = pool.Malloc();
  EXPECT_EQ(pool.Free(reinterpret_cast<Rec*>(uintptr_t(64))), -2) << "below every block";
  Rec* mid = reinterpret_cast<Rec*>(reinterpret_cast<char*>(first) + sizeof(int));
  EXPECT_EQ(pool.Free(mid), -4) << "between elements";
  EXPECT_EQ(pool.Free(first + 10), -3) << "just past the last element";
  EXPECT_EQ(pool.Free(first + 1000), -3) << "far beyond the block";
  EXPECT_EQ(pool.GetCount(), 1u) << "failed Free changed nothing";
  EXPECT_EQ(pool.Free(first + 3), -5) << "never handed out";
  EXPECT_EQ(pool.Free(first), 0);
  EXPECT_EQ(pool.Free(first), -5) << "second Free of the same element";
  EXPECT_EQ(pool.GetCount(), 0u);
  EXPECT_EQ(pool.Malloc(), first);
  EXPECT_EQ(pool.Malloc(), first + 1) << "double Free did not duplicate the element";
}

// An element is built the first time it is handed out and never again; the
// pool's end destroys exactly the elements ever built, in every block.
TEST(ZepFixMemTest, ElementsAreConstructedOnceWhenFirstTaken) {
  Tracked::s_nCtor = Tracked::s_nDtor = 0;
  {
    ZEPFixMem<Tracked, 8, 10, 10> pool;
    Tracked* t = pool.Malloc();
    EXPECT_EQ(Tracked::s_nCtor, 1) << "a new block builds only the element taken";
    EXPECT_EQ(t->value, -1);
    t->value = 42;
    ASSERT_EQ(pool.Free(t), 0);
    EXPECT_EQ(Tracked::s_nDtor, 0) << "Free destroys nothing";
    Tracked* again = pool.Malloc();
    ASSERT_EQ(again, t);
    EXPECT_EQ(again->value, 42) << "Malloc neither constructs nor clears";
    std::vector<Tracked*> taken{again};
    for (int k = 1; k < 10; ++k) taken.push_back(pool.Malloc());
    EXPECT_EQ(Tracked::s_nCtor, 10) << "eight in the first block, two in the second";
    // The second block may lie below the first; the lowest taken element is
    // the lowest free one once returned, whichever block holds it.
    Tracked* low = *std::min_element(taken.begin(), taken.end(), std::less<Tracked*>());
    low->value = 7;
    ASSERT_EQ(pool.Free(low), 0);
    EXPECT_EQ(pool.Malloc(), low);
    EXPECT_EQ(low->value, 7) << "a reused element is not built again";
    EXPECT_EQ(Tracked::s_nCtor, 10);
  }
  EXPECT_EQ(Tracked::s_nDtor, 10) << "the pool's end destroys every element it built";
}

TEST(ZepFixMemTest, HeapPoolEndsThroughItsLastReference) {
  Tracked::s_nCtor = Tracked::s_nDtor = 0;
  auto* pool = new ZEPFixMem<Tracked, 4, 10, 10>;
  pool->Malloc();
  pool->upcount();
  pool->upcount();
  pool->downcount();
  EXPECT_EQ(Tracked::s_nDtor, 0);
  pool->downcount();
  EXPECT_EQ(Tracked::s_nDtor, 1);
}

TEST(ZepMTFixMemTest, ThreadsSharingThePoolNeverGetTheSameElement) {
  struct Slot {
    int owner = 0;
  };
  ZEPMTFixMem<Slot, 16, 2, 2> pool;
  std::vector<std::thread> threads;
  std::atomic<int> clashes{0};
  for (int t = 1; t <= 4; ++t) {
    threads.emplace_back([&pool, &clashes, t] {
      std::vector<Slot*> mine;
      for (int i = 0; i < 3000; ++i) {
        if (mine.size() < 20 && (i % 3 != 2)) {
          Slot* s = (i % 2) ? pool.LockedMalloc() : nullptr;
          if (s == nullptr) {
            pool.GetMutex().Acquire();
            s = pool.Malloc();
            pool.GetMutex().Release();
          }
          if (s->owner != 0) ++clashes;
          s->owner = t;
          mine.push_back(s);
        } else if (!mine.empty()) {
          Slot* s = mine.back();
          mine.pop_back();
          if (s->owner != t) ++clashes;
          s->owner = 0;
          if (pool.LockedFree(s) != 0) ++clashes;
        }
      }
      for (Slot* s : mine) {
        s->owner = 0;
        pool.LockedFree(s);
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(clashes.load(), 0);
  EXPECT_EQ(pool.GetCount(), 0u);
}

// Model: Malloc returns the lowest free address, where "free" is an element
// returned earlier or a never-used element of the newest block (blocks fill
// in element order, and a new block is made only when all others are full).
template <class T, unsigned kN>
struct LowestFreeModel {
  std::set<uintptr_t> freed;
  T* newest = nullptr;
  unsigned unused = 0;  // never-used elements left in the newest block

  // The address the next Malloc must return; UINTPTR_MAX: a new block.
  uintptr_t Expect() const {
    uintptr_t expect = freed.empty() ? UINTPTR_MAX : *freed.begin();
    if (unused > 0) expect = std::min(expect, Addr(newest + (kN - unused)));
    return expect;
  }
  void Took(T* p, uintptr_t expect) {
    if (expect == UINTPTR_MAX) {
      newest = p;
      unused = kN - 1;
    } else if (!freed.empty() && Addr(p) == *freed.begin()) {
      freed.erase(freed.begin());
    } else {
      --unused;
    }
  }
};

TEST(ZepFixMemTest, RandomChurnAlwaysTakesLowestFreeElement) {
  constexpr unsigned kN = 37;
  for (unsigned seed = 1; seed <= 4; ++seed) {
    ZEPFixMem<uint16_t, kN, 2, 3> pool;
    std::mt19937 rng(seed);
    LowestFreeModel<uint16_t, kN> model;
    std::vector<uint16_t*> live;
    for (int step = 0; step < 20000; ++step) {
      bool doMalloc = live.empty() || rng() % 100 < (step < 10000 ? 60u : 40u);
      if (doMalloc) {
        const uintptr_t expect = model.Expect();
        unsigned blocks = pool.GetBlockCount();
        uint16_t* p = pool.Malloc();
        ASSERT_NE(p, nullptr);
        if (expect == UINTPTR_MAX) {
          ASSERT_EQ(pool.GetBlockCount(), blocks + 1) << "step " << step;
        } else {
          ASSERT_EQ(Addr(p), expect) << "seed " << seed << " step " << step;
        }
        model.Took(p, expect);
        live.push_back(p);
      } else {
        size_t i = rng() % live.size();
        ASSERT_EQ(pool.Free(live[i]), 0);
        model.freed.insert(Addr(live[i]));
        live[i] = live.back();
        live.pop_back();
      }
      ASSERT_EQ(pool.GetCount(), live.size());
    }
  }
}

// An element type that can wait on a pool's return stack.
struct Linked {
  void* link = nullptr;
  int owner = 0;
  void*& PoolLink() { return link; }
};

// Returns through the lock-free stack are taken back before the next
// reclaiming Malloc picks: against the same reference model as above, the
// pick is the lowest free address, and GetCount leaves out what waits on
// the stack.
TEST(ZepMTFixMemTest, DeferredReturnsStillGiveTheLowestFreeElement) {
  constexpr unsigned kN = 29;
  for (unsigned seed = 1; seed <= 3; ++seed) {
    ZEPMTFixMem<Linked, kN, 2, 2> pool;
    std::mt19937 rng(seed);
    LowestFreeModel<Linked, kN> model;
    std::vector<Linked*> live;
    for (int step = 0; step < 10000; ++step) {
      if (live.empty() || rng() % 100 < (step < 5000 ? 60u : 40u)) {
        const uintptr_t expect = model.Expect();
        Linked* p = pool.LockedReclaimMalloc();
        ASSERT_NE(p, nullptr);
        if (expect != UINTPTR_MAX) {
          ASSERT_EQ(Addr(p), expect) << "seed " << seed << " step " << step;
        }
        model.Took(p, expect);
        live.push_back(p);
      } else {
        size_t i = rng() % live.size();
        pool.DeferredFree(live[i]);
        model.freed.insert(Addr(live[i]));
        live[i] = live.back();
        live.pop_back();
      }
      ZEPLockGuard lock(pool.GetMutex());
      ASSERT_EQ(pool.GetCount(), live.size());
    }
  }
}

// Receivers return elements without the mutex while allocators take them
// back under it: no element is ever held by two threads, and everything is
// back at the end.
TEST(ZepMTFixMemTest, DeferredReturnsFromManyThreads) {
  ZEPMTFixMem<Linked, 16, 2, 2> pool;
  std::atomic<int> clashes{0};
  std::vector<std::thread> threads;
  for (int t = 1; t <= 4; ++t) {
    threads.emplace_back([&pool, &clashes, t] {
      std::vector<Linked*> mine;
      std::mt19937 rng(t);
      for (int i = 0; i < 5000; ++i) {
        if (mine.size() < 24 && rng() % 2 == 0) {
          Linked* s = pool.LockedReclaimMalloc();
          if (s->owner != 0) ++clashes;
          s->owner = t;
          mine.push_back(s);
        } else if (!mine.empty()) {
          Linked* s = mine.back();
          mine.pop_back();
          if (s->owner != t) ++clashes;
          s->owner = 0;
          pool.DeferredFree(s);
        }
      }
      for (Linked* s : mine) {
        s->owner = 0;
        pool.DeferredFree(s);
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(clashes.load(), 0);
  ZEPLockGuard lock(pool.GetMutex());
  EXPECT_EQ(pool.GetCount(), 0u);
  pool.ReclaimLocked();
  EXPECT_EQ(pool.GetCount(), 0u);
}

// Reference model of a pool: every block by address with the set of its free
// elements. Malloc must hand out the lowest free element over all blocks, or
// make a new block (at an address no existing block covers) and hand out its
// element 0; Free of anything not handed out must be refused and change
// nothing. Drives the pool through many blocks and several index growths,
// with the elements returned either directly or (MT pool) through the
// return stack.
template <class T, unsigned N, unsigned I, unsigned G, bool kDeferred>
void CheckAgainstModel(unsigned seed, int steps) {
  ZEPMTFixMem<T, N, I, G> pool;
  std::mt19937 rng(seed);
  std::map<uintptr_t, std::set<unsigned>> blocks;  // base -> free elements
  std::vector<T*> live;
  auto lowestFree = [&blocks]() -> uintptr_t {
    for (auto& b : blocks)
      if (!b.second.empty()) return b.first + *b.second.begin() * sizeof(T);
    return UINTPTR_MAX;
  };
  auto markFree = [&blocks](uintptr_t a) {
    auto it = std::prev(blocks.upper_bound(a));
    it->second.insert(unsigned((a - it->first) / sizeof(T)));
  };
  for (int step = 0; step < steps; ++step) {
    // Grow for the first half, then mostly shrink, so low blocks reopen.
    const unsigned mallocShare = step < steps / 2 ? 65 : 35;
    const unsigned r = rng() % 100;
    if (live.empty() || r < mallocShare) {
      if (kDeferred) {
        // Whatever waits is taken back before the pick.
        ZEPLockGuard lock(pool.GetMutex());
        pool.ReclaimLocked();
      }
      const uintptr_t expect = lowestFree();
      const unsigned before = pool.GetBlockCount();
      T* p = kDeferred ? pool.LockedReclaimMalloc() : pool.Malloc();
      ASSERT_NE(p, nullptr);
      ASSERT_EQ(Addr(p) % alignof(T), 0u);
      const uintptr_t a = Addr(p);
      if (expect == UINTPTR_MAX) {
        ASSERT_EQ(pool.GetBlockCount(), before + 1) << "step " << step;
        auto next = blocks.lower_bound(a);
        ASSERT_TRUE(next == blocks.end() || next->first >= a + N * sizeof(T));
        if (next != blocks.begin()) {
          ASSERT_LE(std::prev(next)->first + N * sizeof(T), a);
        }
        std::set<unsigned>& fresh = blocks[a];
        for (unsigned k = 1; k < N; ++k) fresh.insert(k);
      } else {
        ASSERT_EQ(a, expect) << "seed " << seed << " step " << step;
        ASSERT_EQ(pool.GetBlockCount(), before);
        auto it = std::prev(blocks.upper_bound(a));
        it->second.erase(unsigned((a - it->first) / sizeof(T)));
      }
      live.push_back(p);
    } else if (r < mallocShare + 5) {
      // Refused returns: a second return of a free element, a pointer into
      // an element, one past a block's last element, one below the lowest
      // block. None changes a count.
      if (kDeferred) {
        ZEPLockGuard lock(pool.GetMutex());
        pool.ReclaimLocked();
      }
      const uintptr_t freeOne = lowestFree();
      if (freeOne != UINTPTR_MAX) {
        ASSERT_EQ(pool.Free(reinterpret_cast<T*>(freeOne)), -5);
      }
      T* some = live[rng() % live.size()];
      if (sizeof(T) > 1) {
        ASSERT_EQ(pool.Free(reinterpret_cast<T*>(reinterpret_cast<char*>(some) + 1)), -4);
      }
      auto it = blocks.begin();
      std::advance(it, rng() % blocks.size());
      // Unless the next block starts right there (allocators may pack
      // blocks back to back).
      const uintptr_t past = it->first + N * sizeof(T);
      if (std::next(it) == blocks.end() || std::next(it)->first > past) {
        ASSERT_EQ(pool.Free(reinterpret_cast<T*>(past)), -3);
      }
      ASSERT_EQ(pool.Free(reinterpret_cast<T*>(blocks.begin()->first - sizeof(T))), -2);
    } else {
      const size_t i = rng() % live.size();
      if (kDeferred) {
        pool.DeferredFree(live[i]);
      } else {
        ASSERT_EQ(pool.Free(live[i]), 0);
      }
      markFree(Addr(live[i]));
      live[i] = live.back();
      live.pop_back();
    }
    ZEPLockGuard lock(pool.GetMutex());
    ASSERT_EQ(pool.GetCount(), live.size()) << "step " << step;
    ASSERT_EQ(pool.GetBlockCount(), blocks.size());
    // The index holds I slots, then grows by G each time it is full.
    const unsigned n = unsigned(blocks.size());
    const unsigned slots = n <= I ? I : I + (n - I + G - 1) / G * G;
    ASSERT_EQ(pool.GetIndexSize(), slots) << "blocks " << n;
  }
}

struct Linked16 {
  void* link;
  uint64_t pad;
  void*& PoolLink() { return link; }
};
struct alignas(64) LinkedWide {
  void* link;
  char body[72];
  void*& PoolLink() { return link; }
};

TEST(ZepFixMemTest, ModelOfBlocksAndFreeElementsHoldsUnderChurn) {
  // One bitmap word with padding; several words (130 crosses two word
  // boundaries); one element per block, where every Malloc may make a block.
  for (unsigned seed = 1; seed <= 3; ++seed) {
    CheckAgainstModel<Linked16, 7, 2, 3, false>(seed, 6000);
    CheckAgainstModel<Linked16, 130, 1, 1, false>(seed, 6000);
    CheckAgainstModel<Linked16, 1, 4, 4, false>(seed, 1500);
    // The record pools' index shape: the arrays behind a large index
    // capacity grow block by block.
    CheckAgainstModel<Linked16, 1, 1000, 1000, false>(seed, 1500);
  }
}

TEST(ZepMTFixMemTest, ModelHoldsWithReturnsThroughTheStack) {
  for (unsigned seed = 11; seed <= 13; ++seed) {
    CheckAgainstModel<Linked16, 13, 2, 2, true>(seed, 5000);
    // Over-aligned elements: blocks larger than their element count
    // suggests, every element still on its alignment.
    CheckAgainstModel<LinkedWide, 65, 3, 2, true>(seed, 4000);
  }
}

// Thousands of blocks: far more than the block table's first size, so it
// is rebuilt many times while blocks keep arriving at unrelated addresses.
TEST(ZepFixMemTest, EveryElementOfManyBlocksIsFoundAgain) {
  ZEPFixMem<uint64_t, 3, 10, 10> pool;
  std::vector<uint64_t*> all;
  std::vector<void*> noise;  // other allocations between the blocks
  for (int i = 0; i < 9000; ++i) {
    all.push_back(pool.Malloc());
    if (i % 7 == 0) noise.push_back(::operator new(24 + i % 200));
  }
  EXPECT_EQ(pool.GetBlockCount(), 3000u);
  std::set<uint64_t*> distinct(all.begin(), all.end());
  EXPECT_EQ(distinct.size(), all.size());
  std::mt19937 rng(5);
  std::shuffle(all.begin(), all.end(), rng);
  for (uint64_t* p : all) ASSERT_EQ(pool.Free(p), 0);
  EXPECT_EQ(pool.GetCount(), 0u);
  // All free again: the lowest element overall comes first.
  EXPECT_EQ(pool.Malloc(), *distinct.begin());
  for (void* n : noise) ::operator delete(n);
}

}  // namespace

// The producer's path without the mutex: elements returned through the
// stack are handed out from the thread's cache while another thread holds
// the pool's mutex; the count stays exact (cached elements count as
// returned), and a thread that ends gives back what it still caches, so
// the pool does not grow for it. The pool dying first is no harm to the
// caches of threads that outlive it.
TEST(ZepMTFixMemTest, CachedMallocTakesTheReturnStackWithoutTheMutex) {
  ZEPMTFixMem<Linked, 16, 2, 2> pool;
  std::vector<Linked*> first;
  for (int i = 0; i < 6; ++i) first.push_back(pool.LockedMalloc());
  for (Linked* p : first) pool.DeferredFree(p);
  EXPECT_EQ(0u, pool.GetCount());

  std::atomic<bool> done{false};
  std::vector<Linked*> got;
  {
    ZEPLockGuard held(pool.GetMutex());
    std::thread taker([&] {
      got.push_back(pool.CachedMalloc());  // takes all six, hands out one
      done.store(true);
    });
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done.load() && std::chrono::steady_clock::now() < until) std::this_thread::yield();
    held.Unlock();
    taker.join();  // the thread ends with five cached
  }
  ASSERT_TRUE(done.load()) << "CachedMalloc waited for the pool's mutex";
  ASSERT_EQ(1u, got.size());
  EXPECT_NE(first.end(), std::find(first.begin(), first.end(), got[0]));
  EXPECT_EQ(1u, pool.GetCount());
  // The five came back with the thread's end: six handed out now need no
  // new element beyond the first six.
  for (int i = 0; i < 5; ++i) got.push_back(pool.CachedMalloc());
  EXPECT_EQ(6u, pool.GetCount());
  std::set<Linked*> all(got.begin(), got.end());
  EXPECT_EQ(std::set<Linked*>(first.begin(), first.end()), all);
  for (Linked* p : got) pool.DeferredFree(p);

  // A pool that dies while a thread caches its elements.
  std::thread outliver([] {
    {
      ZEPMTFixMem<Linked, 8, 2, 2> brief;
      Linked* a = brief.LockedMalloc();
      Linked* b = brief.LockedMalloc();
      brief.DeferredFree(a);
      brief.DeferredFree(b);
      EXPECT_NE(nullptr, brief.CachedMalloc());  // one cached
    }
    ZEPMTFixMem<Linked, 8, 2, 2> next;  // a new pool on the same thread
    Linked* c = next.CachedMalloc();
    EXPECT_NE(nullptr, c);
    EXPECT_EQ(1u, next.GetCount());
  });
  outliver.join();
}
