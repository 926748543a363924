// zepfixmem.h — fixed-block pools of constructed objects.
//
// ZEPFixMem<T, N, I, G> owns blocks of N elements of T. A block is one heap
// allocation holding the N elements. Each element is default-constructed
// once, the first time Malloc hands it out (a block's untouched elements
// cost no resident memory), and every element ever constructed is destroyed
// when the pool dies. Blocks are kept in m_Index sorted
// by address; the index capacity starts at I slots and grows by G when a new
// block does not fit, while the arrays behind it are allocated only as the
// blocks come (an unused pool allocates nothing). Blocks go back to the
// system only when the pool is destroyed.
//
// The bookkeeping of block i sits in m_pInfo[i], beside the index rather than
// inside the block: a free bitmap (bit set = free; read as bytes, element k
// is bit 7 - k % 8 of byte k / 8), one word naming the bitmap words that
// hold a free element, and the number of elements handed out. The
// bitmap is kept in whole 64-bit words and always read and written a word at
// a time: a byte store followed by a word load of the same bytes stalls the
// processor, and Malloc reads the word Free has just written. Malloc and Free
// thus never read or write element memory, and the bookkeeping of all blocks
// stays in a few dense lines of cache; only DeferredFree (below) writes into
// an element, the link word its type lends the pool while it is returned.
//
// Each block is placed at an address aligned to kBlockAlign, the smallest
// power of two that holds it, so the aligned window an element lies in names
// its block. Free looks that window up in a small open-addressed table of
// block positions instead of bisecting m_Index; it never reads the memory at
// the address it is given, so a stray pointer still just gets its error code.
//
// Malloc hands out the first free element of the lowest-addressed block that
// has one, so a freed element is reused before any higher block is touched.
// One room bit per block (set while the block has a free element) and a hint
// to the lowest room word that may be nonzero find that block without a scan.
// Beyond that first construction neither Malloc nor Free constructs,
// destroys or clears an element: each pooled class resets the element it
// takes (its Instance or Init step), and plain records are cleared by their
// user. The first construction runs inside Malloc, so under the mutex of a
// ZEPMTFixMem: element constructors take no lock.
//
// Threads: ZEPFixMem takes no lock and must be used by one thread at a time.
// ZEPMTFixMem adds a Mutex. Its Malloc and Free still take no lock: a user
// that calls them holds GetMutex() around each call. LockedMalloc and
// LockedFree take the mutex themselves around one call (the event pools are
// used that way). It is a leaf lock, taken after any frame, queue or engine
// lock. The reference count inherited from RefCount is atomic.
//
// DeferredFree (any thread, no lock) pushes an element onto a lock-free
// return stack, linked through the element's own PoolLink() (a void*& the
// element type provides). Whoever next holds the mutex for LockedReclaimMalloc
// or ReclaimLocked frees the whole stack into the bitmaps first, so Malloc still
// picks the lowest free element among everything returned before it, and
// GetCount does not count elements waiting on the stack. A receiver thread
// releasing events thus never queues behind the producers on the mutex.
#ifndef ZEP_BASE_ZEPFIXMEM_H
#define ZEP_BASE_ZEPFIXMEM_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>

#include "base/lockguard.h"
#include "base/zepassert.h"
#include "base/zepmultithread.h"
#include "base/zeptlist.h"

// The smallest power of two, at least align and a pointer's size, that holds
// size bytes.
constexpr size_t ZEPFixMemAlignFor(size_t size, size_t align) {
  size_t a = align < sizeof(void*) ? sizeof(void*) : align;
  while (a < size) a *= 2;
  return a;
}
// log2 of a power of two.
constexpr unsigned ZEPFixMemLog2(size_t v) {
  unsigned n = 0;
  while ((size_t(1) << n) < v) ++n;
  return n;
}

template <class T, unsigned N, unsigned I, unsigned G>
class ZEPFixMem : public RefCount {
  static_assert(N > 0, "a block holds at least one element");
  static_assert(I > 0 && G > 0, "the block index starts with and grows by at least one slot");

 public:
  // Free bitmap size: N bits rounded up to whole 64-bit words.
  static constexpr unsigned kBitmapWords = (N + 63) / 64;

  // The elements are storage until first handed out (see Malloc), so the
  // union keeps the block's construction from building all N.
  struct DataArray_tag {
    DataArray_tag() {}
    ~DataArray_tag() {}
    union {
      T m_Data[N];  // alone, so the block and its element 0 share an address
    };
  };

  struct HashSlot_tag {
    uintptr_t m_nWindow;  // block address >> kBlockShift; 0: empty slot
    unsigned m_nPos;
  };

  // m_nFreeWords has bit w set while m_Bitmap[w] has a free element, so
  // Malloc finds the lowest free element with two bit scans and no branch on
  // where it lies (a freed element is as good as random, and a loop over the
  // words mispredicted about every other time).
  // Elements below m_nBuilt have been constructed. Malloc hands out the
  // lowest free element, so the one it takes is never above m_nBuilt.
  struct BlockInfo_tag {
    uint64_t m_Bitmap[kBitmapWords];
    uint64_t m_nFreeWords;
    uint32_t m_nUseCount;
    uint32_t m_nBuilt;
  };
  static_assert(kBitmapWords <= 64, "one word tells which bitmap words have a free element");

  // Alignment of every block: a power of two no smaller than the block.
  static constexpr size_t kBlockAlign =
      ZEPFixMemAlignFor(sizeof(DataArray_tag), alignof(DataArray_tag));
  static constexpr unsigned kBlockShift = ZEPFixMemLog2(kBlockAlign);
  static constexpr unsigned kFirstSlots = 8;

  ZEPFixMem()
      : m_Index(NULL),
        m_pInfo(NULL),
        m_pRoom(NULL),
        m_pHash(NULL),
        m_nHashSize(0),
        m_nHashShift(64),
        m_nBlockCount(0),
        m_nIndexSize(I),
        m_nSlots(0),
        m_nUsed(0),
        m_nRoomHint(0) {}

  ~ZEPFixMem() override {
    for (unsigned i = 0; i < m_nBlockCount; ++i) {
      ZEP_ASSERT(NULL != m_Index[i]);
      for (unsigned k = 0; k < m_pInfo[i].m_nBuilt; ++k) m_Index[i]->m_Data[k].~T();
      m_Index[i]->~DataArray_tag();
      ::operator delete(m_Index[i], std::align_val_t(kBlockAlign));
    }
    delete[] m_Index;
    delete[] m_pInfo;
    delete[] m_pRoom;
    delete[] m_pHash;
  }

  ZEPFixMem(const ZEPFixMem&) = delete;
  ZEPFixMem& operator=(const ZEPFixMem&) = delete;

  void DestroyMe() override { delete this; }

  // One free element, or NULL when no memory for a new block or a larger
  // index can be had.
  T* Malloc() {
    unsigned pos = FirstBlockWithRoom();
    if (pos == m_nBlockCount && !AddBlock(&pos)) return NULL;
    // Use counts and bitmaps agree (a second Free is refused), so a block
    // with room has a set bit.
    BlockInfo_tag& info = m_pInfo[pos];
    ZEP_ASSERT(0 != info.m_nFreeWords);
    const unsigned w = unsigned(__builtin_ctzll(info.m_nFreeWords));
    const uint64_t word = info.m_Bitmap[w];
    const unsigned k = w * 64 + Lowest(word);
    ZEP_ASSERT(k < N);
    const uint64_t rest = word & ~Bit(k);
    info.m_Bitmap[w] = rest;
    info.m_nFreeWords &= ~(uint64_t(rest == 0) << w);
    ++m_nUsed;
    if (++info.m_nUseCount == N) SetRoom(pos, false);
    T* p = &m_Index[pos]->m_Data[k];
    ZEP_ASSERT(k <= info.m_nBuilt);
    if (k == info.m_nBuilt) {
      // First hand-out of this element: built now, once for the pool's
      // life, which spares the memory of elements a pool never reaches
      // (a block of socket events is 400 KB, one page per element).
      new (p) T;
      ++info.m_nBuilt;
    }
    return p;
  }

  // 0: returned; -2: p lies below every block; -3: p lies beyond the elements
  // of the nearest block below it; -4: p is not at an element boundary;
  // -5: the element is already free (a second Free of it changes nothing).
  int Free(T* p) {
    const uintptr_t addr = reinterpret_cast<uintptr_t>(p);
    if (m_nBlockCount == 0 || reinterpret_cast<uintptr_t>(m_Index[0]) > addr) return -2;
    // In no block's window, yet above the lowest block: beyond the elements
    // of the nearest block below.
    const unsigned pos = FindBlock(addr);
    if (pos == m_nBlockCount) return -3;
    // The block starts at its window (it is aligned to it).
    const uintptr_t offset = addr & (kBlockAlign - 1);
    if (offset >= sizeof(DataArray_tag)) return -3;
    if (offset % sizeof(T) != 0) return -4;
    const unsigned k = unsigned(offset / sizeof(T));
    const uint64_t bit = Bit(k);
    BlockInfo_tag& info = m_pInfo[pos];
    if (info.m_Bitmap[k / 64] & bit) return -5;
    info.m_Bitmap[k / 64] |= bit;
    info.m_nFreeWords |= uint64_t(1) << (k / 64);
    --info.m_nUseCount;
    --m_nUsed;
    SetRoom(pos, true);
    return 0;
  }

  // Elements handed out and not yet returned, over all blocks.
  unsigned GetCount() const { return m_nUsed; }
  unsigned GetBlockCount() const { return m_nBlockCount; }
  unsigned GetIndexSize() const { return m_nIndexSize; }
  static constexpr unsigned GetBlockSize() { return N; }

 private:
  static unsigned RoomWords(unsigned slots) { return (slots + 63) / 64; }

  // Makes a block and sets *pos to its slot; false when memory is short.
  // Kept out of line so that Malloc's common path stays small enough to
  // inline.
  __attribute__((noinline)) bool AddBlock(unsigned* pos) {
    if (!MakeSlot()) return false;
    if (2 * (m_nBlockCount + 1) > m_nHashSize && !GrowHash()) return false;
    void* mem = ::operator new(sizeof(DataArray_tag), std::align_val_t(kBlockAlign), std::nothrow);
    if (mem == NULL) return false;
    *pos = InsertBlock(new (mem) DataArray_tag);  // constructs no element yet
    return true;
  }

  // Lowest index position whose block has a free element, or the block
  // count: the block a scan of the use counts in address order would find.
  // The scan starts at m_nRoomHint, below which every room word is zero.
  unsigned FirstBlockWithRoom() {
    const unsigned words = RoomWords(m_nBlockCount);
    unsigned w = m_nRoomHint;
    while (w < words && m_pRoom[w] == 0) ++w;
    m_nRoomHint = w;
    if (w == words) return m_nBlockCount;
    return w * 64 + unsigned(__builtin_ctzll(m_pRoom[w]));
  }

  void SetRoom(unsigned i, bool room) {
    const uint64_t bit = uint64_t(1) << (i % 64);
    if (room) {
      m_pRoom[i / 64] |= bit;
      if (i / 64 < m_nRoomHint) m_nRoomHint = i / 64;
    } else {
      m_pRoom[i / 64] &= ~bit;
    }
  }

  // Element k's bit in its word. Stored in memory, the word puts element k
  // at bit 7 - k % 8 of byte k / 8 on either byte order.
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  static uint64_t Bit(unsigned k) { return uint64_t(1) << ((k % 64) ^ 7); }
  static unsigned Lowest(uint64_t word) {
    return unsigned(__builtin_clzll(__builtin_bswap64(word)));
  }
#else
  static uint64_t Bit(unsigned k) { return uint64_t(1) << (63 - k % 64); }
  static unsigned Lowest(uint64_t word) { return unsigned(__builtin_clzll(word)); }
#endif

  // Fibonacci hashing of the block window number; the table is a power of
  // two in size and at most half full, so a probe run is short.
  size_t HashSlot(uintptr_t window) const {
    return size_t((uint64_t(window) * 0x9E3779B97F4A7C15ull) >> m_nHashShift);
  }

  // Position of the block whose aligned window holds addr, or the block
  // count. A slot holds the window number and position of one block; an
  // empty slot has window 0, which no block can have.
  unsigned FindBlock(uintptr_t addr) const {
    const uintptr_t window = addr >> kBlockShift;
    const size_t mask = m_nHashSize - 1;
    for (size_t h = HashSlot(window);; h = (h + 1) & mask) {
      const HashSlot_tag& e = m_pHash[h];
      if (e.m_nWindow == window) return e.m_nPos;
      if (e.m_nWindow == 0) return m_nBlockCount;
    }
  }

  // Enters every block afresh: positions move when a block is inserted.
  void RebuildHash() {
    std::memset(m_pHash, 0, m_nHashSize * sizeof(HashSlot_tag));
    const size_t mask = m_nHashSize - 1;
    for (unsigned i = 0; i < m_nBlockCount; ++i) {
      const uintptr_t window = reinterpret_cast<uintptr_t>(m_Index[i]) >> kBlockShift;
      size_t h = HashSlot(window);
      while (m_pHash[h].m_nWindow != 0) h = (h + 1) & mask;
      m_pHash[h].m_nWindow = window;
      m_pHash[h].m_nPos = i;
    }
  }

  // Doubles the block table (16 slots at first); the caller rebuilds it.
  bool GrowHash() {
    const size_t size = m_nHashSize == 0 ? 16 : m_nHashSize * 2;
    HashSlot_tag* table = new (std::nothrow) HashSlot_tag[size]();
    if (table == NULL) return false;
    delete[] m_pHash;
    m_pHash = table;
    m_nHashSize = size;
    m_nHashShift = 64 - ZEPFixMemLog2(size);
    return true;
  }

  // Makes sure the index has a slot for one more block. The index capacity
  // (GetIndexSize) starts at I and grows by G when the blocks fill it; the
  // arrays behind it are only as long as the blocks made so far need
  // (doubling, from kFirstSlots), so a pool sized for a thousand blocks that
  // holds two costs a few hundred bytes, not a zeroed table per slot.
  bool MakeSlot() {
    const unsigned capacity = m_nBlockCount < m_nIndexSize ? m_nIndexSize : m_nIndexSize + G;
    if (m_nBlockCount >= m_nSlots) {
      unsigned slots = m_nSlots < kFirstSlots / 2 ? kFirstSlots : m_nSlots * 2;
      if (slots > capacity || slots <= m_nSlots) slots = capacity;
      if (slots <= m_nBlockCount || !ResizeSlots(slots)) return false;
    }
    m_nIndexSize = capacity;
    return true;
  }

  bool ResizeSlots(unsigned slots) {
    DataArray_tag** index = new (std::nothrow) DataArray_tag*[slots]();
    BlockInfo_tag* info = new (std::nothrow) BlockInfo_tag[slots];
    uint64_t* room = new (std::nothrow) uint64_t[RoomWords(slots)]();
    if (index == NULL || info == NULL || room == NULL) {
      delete[] index;
      delete[] info;
      delete[] room;
      return false;
    }
    if (m_nBlockCount != 0) {
      std::memcpy(index, m_Index, m_nBlockCount * sizeof(DataArray_tag*));
      std::memcpy(info, m_pInfo, m_nBlockCount * sizeof(BlockInfo_tag));
      std::memcpy(room, m_pRoom, RoomWords(m_nBlockCount) * sizeof(uint64_t));
    }
    delete[] m_Index;
    delete[] m_pInfo;
    delete[] m_pRoom;
    m_Index = index;
    m_pInfo = info;
    m_pRoom = room;
    m_nSlots = slots;
    return true;
  }

  // Insert a new (empty) block at its address-sorted position, found by
  // bisection, moving the later slots up by one; returns the position. The
  // caller made room in the index and the table.
  unsigned InsertBlock(DataArray_tag* block) {
    const uintptr_t addr = reinterpret_cast<uintptr_t>(block);
    unsigned lo = 0, hi = m_nBlockCount;
    while (lo < hi) {
      unsigned mid = lo + (hi - lo) / 2;
      if (reinterpret_cast<uintptr_t>(m_Index[mid]) < addr)
        lo = mid + 1;
      else
        hi = mid;
    }
    // A block is only made when every other one is full, so the room bits
    // of the slots moved up are all clear and need not move.
    std::memmove(m_Index + lo + 1, m_Index + lo, (m_nBlockCount - lo) * sizeof(DataArray_tag*));
    std::memmove(m_pInfo + lo + 1, m_pInfo + lo, (m_nBlockCount - lo) * sizeof(BlockInfo_tag));
    m_Index[lo] = block;
    // Only the N real elements are marked free; the padding bits stay clear.
    BlockInfo_tag& info = m_pInfo[lo];
    std::memset(info.m_Bitmap, 0, sizeof(info.m_Bitmap));
    for (unsigned k = 0; k < N; ++k) info.m_Bitmap[k / 64] |= Bit(k);
    info.m_nFreeWords = kBitmapWords == 64 ? ~uint64_t(0) : (uint64_t(1) << kBitmapWords) - 1;
    info.m_nUseCount = 0;
    info.m_nBuilt = 0;
    ++m_nBlockCount;
    SetRoom(lo, true);
    RebuildHash();
    return lo;
  }

  DataArray_tag** m_Index;
  BlockInfo_tag* m_pInfo;  // bookkeeping of block i, moved with m_Index[i]
  uint64_t* m_pRoom;       // bit i: block i has a free element
  HashSlot_tag* m_pHash;   // block positions by aligned window
  size_t m_nHashSize;      // slots in m_pHash: 0 or a power of two
  unsigned m_nHashShift;   // 64 - log2(m_nHashSize)
  unsigned m_nBlockCount;
  unsigned m_nIndexSize;  // the index capacity
  unsigned m_nSlots;      // entries in m_Index, m_pInfo and m_pRoom's bits
  unsigned m_nUsed;
  unsigned m_nRoomHint;  // room words below this one are all zero
};

// The pool for objects shared between threads. Malloc and Free are still
// unguarded: hold GetMutex() around each (or use the Locked forms), as the
// event factories do.
// The per-thread caches of CachedMalloc (zepfixmem.cpp). A pool is known by
// an id never reused, so a cache entry of a pool that died is never matched
// again; a thread that ends gives its cached elements back to the pools
// still alive (a process-wide lock taken then and when a pool is made or
// dies, never on the allocation path).
namespace zepfixmem_detail {
typedef void (*GiveBackFn)(void* pool, void* chain);
uint64_t RegisterPool();
void UnregisterPool(uint64_t id);
// This thread's chain head for the pool, or null when its cache is full or
// could not be made.
void** CacheSlot(uint64_t id, void* pool, GiveBackFn giveBack);
}  // namespace zepfixmem_detail

template <class T, unsigned N, unsigned I, unsigned G>
class ZEPMTFixMem : public ZEPFixMem<T, N, I, G> {
 public:
  ZEPMTFixMem() : m_nPoolId(zepfixmem_detail::RegisterPool()) {}
  ~ZEPMTFixMem() override { zepfixmem_detail::UnregisterPool(m_nPoolId); }
  void DestroyMe() override { delete this; }

  // An element without the mutex, for pools whose elements come back
  // through DeferredFree: the calling thread takes the whole return stack
  // into a cache of its own (no ABA: the stack is only ever taken whole)
  // and hands its elements out one by one; only when both are empty does it
  // take the mutex (LockedReclaimMalloc). Elements so handed out are not
  // the lowest free ones: the rule of Malloc holds for the mutex's path
  // only. Cached elements count as returned (GetCount).
  T* CachedMalloc() {
    void** slot = zepfixmem_detail::CacheSlot(m_nPoolId, this, &GiveBack);
    if (slot != nullptr) {
      if (*slot == nullptr) *slot = m_pDeferred.exchange(nullptr, std::memory_order_acquire);
      if (*slot != nullptr) {
        T* e = static_cast<T*>(*slot);
        *slot = e->PoolLink();
        m_nDeferred.fetch_sub(1, std::memory_order_relaxed);
        return e;
      }
    }
    return LockedReclaimMalloc();
  }

  Mutex& GetMutex() RETURN_CAPABILITY(m_Mutex) { return m_Mutex; }

  // Malloc and Free each under the pool's mutex; for callers that hold no
  // other pool's lock around them.
  T* LockedMalloc() {
    ZEPLockGuard lock(m_Mutex);
    return this->Malloc();
  }
  // LockedMalloc for pools whose elements come back through DeferredFree:
  // takes back what waits on the return stack first.
  T* LockedReclaimMalloc() {
    ZEPLockGuard lock(m_Mutex);
    ReclaimLocked();
    return this->Malloc();
  }

  // Returns p without the mutex (see the header). p must come from this
  // pool's Malloc and be returned once; a foreign or doubly returned element
  // stops the process when the stack is reclaimed.
  void DeferredFree(T* p) {
    // Counted before it is visible on the stack, so GetCount never sees it
    // freed twice.
    m_nDeferred.fetch_add(1, std::memory_order_relaxed);
    void* head = m_pDeferred.load(std::memory_order_relaxed);
    do {
      p->PoolLink() = head;
    } while (!m_pDeferred.compare_exchange_weak(
        head, static_cast<void*>(p), std::memory_order_release, std::memory_order_relaxed));
  }

  // Frees everything on the return stack; the mutex must be held.
  void ReclaimLocked() REQUIRES(m_Mutex) {
    // Only the whole stack is ever taken, so a popped element cannot come
    // back under the same head value (no ABA).
    void* p = m_pDeferred.exchange(nullptr, std::memory_order_acquire);
    while (p != nullptr) {
      T* e = static_cast<T*>(p);
      p = e->PoolLink();
      const int rc = this->Free(e);
      ZEP_ASSERT(0 == rc);
      m_nDeferred.fetch_sub(1, std::memory_order_relaxed);
    }
  }

  // Elements handed out and not returned (the return stack counts as
  // returned). With the mutex held the figure is exact but for returns in
  // flight on other threads.
  unsigned GetCount() const {
    return ZEPFixMem<T, N, I, G>::GetCount() - m_nDeferred.load(std::memory_order_relaxed);
  }
  int LockedFree(T* p) {
    ZEPLockGuard lock(m_Mutex);
    return this->Free(p);
  }

 private:
  // A thread's cached chain goes back onto the return stack (they stay
  // counted as returned).
  static void GiveBack(void* pool, void* chain) {
    ZEPMTFixMem* self = static_cast<ZEPMTFixMem*>(pool);
    while (chain != nullptr) {
      T* e = static_cast<T*>(chain);
      chain = e->PoolLink();
      void* head = self->m_pDeferred.load(std::memory_order_relaxed);
      do {
        e->PoolLink() = head;
      } while (!self->m_pDeferred.compare_exchange_weak(
          head, static_cast<void*>(e), std::memory_order_release, std::memory_order_relaxed));
    }
  }

  const uint64_t m_nPoolId;
  Mutex m_Mutex;
  std::atomic<void*> m_pDeferred{nullptr};
  std::atomic<unsigned> m_nDeferred{0};
};

#endif  // ZEP_BASE_ZEPFIXMEM_H
