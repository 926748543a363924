#include "frame/zepframe_registry.h"

#include <new>
#include <thread>

#include "base/lockguard.h"

namespace {
const uintptr_t kEmpty = 0;
const uintptr_t kRemoved = 1;  // a node address is never 1
const size_t kFirstCapacity = 64;

std::atomic<unsigned> g_NextStripe{0};

unsigned MyStripe(unsigned stripes) {
  // Constant-initialised (0: none chosen yet), so the thread's TLS holds no
  // guard beside it: static TLS comes off every thread's stack.
  thread_local unsigned t_nStripe = 0;
  if (t_nStripe == 0) t_nStripe = g_NextStripe.fetch_add(1, std::memory_order_relaxed) + 1;
  return (t_nStripe - 1) % stripes;
}
}  // namespace

ZEPNodeRegistry::ZEPNodeRegistry() {}

ZEPNodeRegistry::~ZEPNodeRegistry() {
  for (Table* t : m_Tables) {
    delete[] t->m_pSlots;
    delete t;
  }
}

size_t ZEPNodeRegistry::Hash(uintptr_t v, size_t mask) {
  // Nodes are heap objects: the low bits say little.
  v ^= v >> 17;
  v *= 0x9E3779B97F4A7C15ull;
  return static_cast<size_t>(v >> 29) & mask;
}

bool ZEPNodeRegistry::Grow() {
  Table* old = m_pTable.load(std::memory_order_relaxed);
  size_t cap = kFirstCapacity;
  while (cap < 4 * (m_nCount + 1)) cap *= 2;
  Table* t = new (std::nothrow) Table;
  if (t == nullptr) return false;
  t->m_pSlots = new (std::nothrow) std::atomic<uintptr_t>[cap];
  if (t->m_pSlots == nullptr) {
    delete t;
    return false;
  }
  try {
    m_Tables.push_back(t);
  } catch (const std::bad_alloc&) {
    delete[] t->m_pSlots;
    delete t;
    return false;
  }
  t->m_nMask = cap - 1;
  for (size_t i = 0; i < cap; ++i) t->m_pSlots[i].store(kEmpty, std::memory_order_relaxed);
  m_nUsed = 0;
  if (old != nullptr) {
    for (size_t i = 0; i <= old->m_nMask; ++i) {
      const uintptr_t v = old->m_pSlots[i].load(std::memory_order_relaxed);
      if (v == kEmpty || v == kRemoved) continue;
      size_t j = Hash(v, t->m_nMask);
      while (t->m_pSlots[j].load(std::memory_order_relaxed) != kEmpty) j = (j + 1) & t->m_nMask;
      t->m_pSlots[j].store(v, std::memory_order_relaxed);
      ++m_nUsed;
    }
  }
  // Readers still in the old table find the same answers there until the
  // next removal, which they are waited for; the old table is never freed
  // before the registry, so none follows freed memory.
  m_pTable.store(t, std::memory_order_seq_cst);
  return true;
}

bool ZEPNodeRegistry::Insert(const void* node) {
  const uintptr_t v = reinterpret_cast<uintptr_t>(node);
  if (v == kEmpty || v == kRemoved) return false;
  if (Contains(node)) return false;
  Table* t = m_pTable.load(std::memory_order_relaxed);
  if (t == nullptr || 2 * (m_nUsed + 1) > t->m_nMask + 1) {
    if (!Grow()) return false;
    t = m_pTable.load(std::memory_order_relaxed);
  }
  size_t j = Hash(v, t->m_nMask);
  for (;;) {
    const uintptr_t s = t->m_pSlots[j].load(std::memory_order_relaxed);
    if (s == kEmpty || s == kRemoved) break;
    j = (j + 1) & t->m_nMask;
  }
  if (t->m_pSlots[j].load(std::memory_order_relaxed) == kEmpty) ++m_nUsed;
  t->m_pSlots[j].store(v, std::memory_order_seq_cst);
  ++m_nCount;
  return true;
}

bool ZEPNodeRegistry::Remove(const void* node) {
  const uintptr_t v = reinterpret_cast<uintptr_t>(node);
  Table* t = m_pTable.load(std::memory_order_relaxed);
  if (t == nullptr) return false;
  for (size_t j = Hash(v, t->m_nMask);; j = (j + 1) & t->m_nMask) {
    const uintptr_t s = t->m_pSlots[j].load(std::memory_order_relaxed);
    if (s == kEmpty) return false;
    if (s != v) continue;
    // A removed mark, not an empty slot: the probe chains through it stay.
    t->m_pSlots[j].store(kRemoved, std::memory_order_seq_cst);
    --m_nCount;
    return true;
  }
}

bool ZEPNodeRegistry::Contains(const void* node) const {
  const uintptr_t v = reinterpret_cast<uintptr_t>(node);
  if (v == kEmpty || v == kRemoved) return false;
  const Table* t = m_pTable.load(std::memory_order_seq_cst);
  if (t == nullptr) return false;
  for (size_t j = Hash(v, t->m_nMask), n = 0; n <= t->m_nMask; j = (j + 1) & t->m_nMask, ++n) {
    const uintptr_t s = t->m_pSlots[j].load(std::memory_order_seq_cst);
    if (s == v) return true;
    if (s == kEmpty) return false;
  }
  return false;
}

unsigned ZEPNodeRegistry::Enter() {
  const unsigned parity = m_nParity.load(std::memory_order_seq_cst) & 1u;
  const unsigned stripe = MyStripe(kStripes);
  m_Stripes[parity][stripe].m_nIn.fetch_add(1, std::memory_order_seq_cst);
  return parity * kStripes + stripe;
}

void ZEPNodeRegistry::Leave(unsigned ticket) {
  m_Stripes[ticket / kStripes][ticket % kStripes].m_nIn.fetch_sub(1, std::memory_order_seq_cst);
}

void ZEPNodeRegistry::WaitForReaders() {
  ZEPLockGuard lock(m_RemoverLock);
  const unsigned old = m_nParity.fetch_add(1, std::memory_order_seq_cst) & 1u;
  for (unsigned s = 0; s < kStripes; ++s) {
    // A producer is inside for one push: yielding lets it finish even when
    // it shares our CPU.
    while (m_Stripes[old][s].m_nIn.load(std::memory_order_seq_cst) != 0) std::this_thread::yield();
  }
}
