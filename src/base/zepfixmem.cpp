// The pools are templates; every instance lives in its user's unit. This unit
// holds what they share: the ids of the live pools and the per-thread caches
// of CachedMalloc.
#include "base/zepfixmem.h"

#include <mutex>
#include <new>
#include <unordered_set>

namespace zepfixmem_detail {
namespace {
// Pool births and deaths and thread ends only; never the allocation path.
std::mutex& LiveLock() {
  static std::mutex* m = new std::mutex;  // outlives every thread's cache
  return *m;
}
std::unordered_set<uint64_t>& Live() {
  static std::unordered_set<uint64_t>* s = new std::unordered_set<uint64_t>;
  return *s;
}
std::atomic<uint64_t> g_NextPoolId{1};

struct Entry {
  uint64_t m_nId = 0;
  void* m_pPool = nullptr;
  GiveBackFn m_pGiveBack = nullptr;
  void* m_pChain = nullptr;
};

// One thread's caches: a few pools (the event kinds a thread makes).
struct ThreadCache {
  static const int kEntries = 8;
  Entry m_Entries[kEntries];
  int m_nLast = 0;  // the entry found last
  ~ThreadCache() {
    std::lock_guard<std::mutex> lock(LiveLock());
    for (Entry& e : m_Entries) {
      // A pool that died took its elements with it.
      if (e.m_pChain != nullptr && Live().count(e.m_nId) != 0) e.m_pGiveBack(e.m_pPool, e.m_pChain);
      e = Entry();
    }
  }
};
// Only a pointer lives in the thread's TLS: glibc carves static TLS from the
// top of every thread's stack, and a worker's 100 KB stack of the daemon peaks
// within a few hundred bytes of a page boundary, so a cache kept in TLS made
// every worker touch one more stack page. The cache itself is made on the
// thread's first cached allocation, so a thread that makes none holds none.
struct CacheHolder {
  ThreadCache* m_pCache = nullptr;
  ~CacheHolder() { delete m_pCache; }
};
thread_local CacheHolder t_Cache;
}  // namespace

uint64_t RegisterPool() {
  const uint64_t id = g_NextPoolId.fetch_add(1, std::memory_order_relaxed);
  std::lock_guard<std::mutex> lock(LiveLock());
  try {
    Live().insert(id);
  } catch (const std::bad_alloc&) {
    // Unlisted: a thread that ends keeps its leftovers of this pool (they
    // still count as returned) instead of giving them back.
  }
  return id;
}

void UnregisterPool(uint64_t id) {
  std::lock_guard<std::mutex> lock(LiveLock());
  Live().erase(id);
}

void** CacheSlot(uint64_t id, void* pool, GiveBackFn giveBack) {
  if (t_Cache.m_pCache == nullptr) {
    t_Cache.m_pCache = new (std::nothrow) ThreadCache;
    if (t_Cache.m_pCache == nullptr) return nullptr;  // uncached, as when full
  }
  ThreadCache& c = *t_Cache.m_pCache;
  // A producer mostly makes one kind of event: its last pool first.
  Entry* last = &c.m_Entries[c.m_nLast];
  if (last->m_nId == id) return &last->m_pChain;
  Entry* freeEntry = nullptr;
  for (Entry& e : c.m_Entries) {
    if (e.m_nId == id) {
      c.m_nLast = static_cast<int>(&e - c.m_Entries);
      return &e.m_pChain;
    }
    if (freeEntry == nullptr && e.m_pChain == nullptr) freeEntry = &e;
  }
  // An empty entry is taken over (its pool may have died: its id is never
  // seen again). With none, the entries of pools that died are cleared.
  if (freeEntry == nullptr) {
    std::lock_guard<std::mutex> lock(LiveLock());
    for (Entry& e : c.m_Entries) {
      if (Live().count(e.m_nId) != 0) continue;
      e = Entry();
      if (freeEntry == nullptr) freeEntry = &e;
    }
  }
  if (freeEntry == nullptr) return nullptr;
  c.m_nLast = static_cast<int>(freeEntry - c.m_Entries);
  freeEntry->m_nId = id;
  freeEntry->m_pPool = pool;
  freeEntry->m_pGiveBack = giveBack;
  return &freeEntry->m_pChain;
}
}  // namespace zepfixmem_detail
