// zepfixmem.h — fixed-block pools of constructed objects.
//
// ZEPFixMem<T, N, I, G> owns blocks of N elements of T. A block is one heap
// allocation holding the N elements (default-constructed once, when the block
// is made, and destroyed when the pool dies), a free bitmap (bit set = free,
// element k is bit 7 - k % 8 of byte k / 8, rounded up to whole 32-bit words)
// and the number of elements handed out. Blocks are kept in m_Index sorted by
// address; the index starts with I slots and grows by G when a new block does
// not fit. Blocks go back to the system only when the pool is destroyed.
//
// Malloc hands out the first free element of the lowest-addressed block that
// has one, so a freed element is reused before any higher block is touched.
// Neither Malloc nor Free constructs, destroys or clears an element: each
// pooled class resets the element it takes (its Instance or Init step), and
// plain records are cleared by their user.
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
#include <cstdint>
#include <cstring>
#include <new>

#include "base/zepassert.h"
#include "base/zepmultithread.h"
#include "base/zeptlist.h"

template <class T, unsigned N, unsigned I, unsigned G>
class ZEPFixMem : public RefCount {
  static_assert(N > 0, "a block holds at least one element");
  static_assert(I > 0 && G > 0, "the block index starts with and grows by at least one slot");

 public:
  // Free bitmap size: N bits rounded up to whole 32-bit words.
  static constexpr unsigned kBitmapWords = (N + 31) / 32;
  static constexpr unsigned kBitmapBytes = kBitmapWords * 4;

  struct DataArray_tag {
    T m_Data[N];
    uint8_t m_Bitmap[kBitmapBytes];
    uint32_t m_nUseCount;
  };

  ZEPFixMem()
      : m_Index(new DataArray_tag*[I]()),
        m_pRoom(new uint64_t[RoomWords(I)]()),
        m_nBlockCount(0),
        m_nIndexSize(I),
        m_nUsed(0) {}

  ~ZEPFixMem() override {
    for (unsigned i = 0; i < m_nBlockCount; ++i) {
      ZEP_ASSERT(NULL != m_Index[i]);
      delete m_Index[i];
    }
    delete[] m_Index;
    delete[] m_pRoom;
  }

  ZEPFixMem(const ZEPFixMem&) = delete;
  ZEPFixMem& operator=(const ZEPFixMem&) = delete;

  void DestroyMe() override { delete this; }

  // One free element, or NULL when no memory for a new block or a larger
  // index can be had.
  T* Malloc() {
    unsigned pos = FirstBlockWithRoom();
    DataArray_tag* block;
    if (pos < m_nBlockCount) {
      block = m_Index[pos];
    } else {
      if (m_nBlockCount >= m_nIndexSize && !GrowIndex()) return NULL;
      block = new (std::nothrow) DataArray_tag;  // constructs the N elements
      if (block == NULL) return NULL;
      // Only the N real elements are marked free; the padding bits stay clear.
      std::memset(block->m_Bitmap, 0, kBitmapBytes);
      for (unsigned k = 0; k < N; ++k) block->m_Bitmap[k / 8] |= uint8_t(0x80u >> (k % 8));
      block->m_nUseCount = 0;
      pos = InsertBlock(block);
    }
    // Use counts and bitmaps agree (a second Free is refused), so a block
    // with room has a set bit.
    T* p = TakeFrom(block);
    ZEP_ASSERT(NULL != p);
    ++m_nUsed;
    if (block->m_nUseCount == N) SetRoom(pos, false);
    return p;
  }

  // 0: returned; -2: p lies below every block; -3: p lies beyond the elements
  // of the nearest block below it; -4: p is not at an element boundary;
  // -5: the element is already free (a second Free of it changes nothing).
  int Free(T* p) {
    const uintptr_t addr = reinterpret_cast<uintptr_t>(p);
    if (m_nBlockCount == 0 || reinterpret_cast<uintptr_t>(m_Index[0]) > addr) return -2;
    // Bisection for the greatest block address not above p, written without
    // a data-dependent branch (a freed address is as good as random).
    unsigned pos = 0, n = m_nBlockCount;
    while (n > 1) {
      const unsigned half = n / 2;
      pos = reinterpret_cast<uintptr_t>(m_Index[pos + half]) <= addr ? pos + half : pos;
      n -= half;
    }
    DataArray_tag* block = m_Index[pos];
    const uintptr_t offset = addr - reinterpret_cast<uintptr_t>(block->m_Data);
    if (offset >= sizeof(block->m_Data)) return -3;
    if (offset % sizeof(T) != 0) return -4;
    const unsigned k = unsigned(offset / sizeof(T));
    const uint8_t bit = uint8_t(0x80u >> (k % 8));
    if (block->m_Bitmap[k / 8] & bit) return -5;
    block->m_Bitmap[k / 8] |= bit;
    --block->m_nUseCount;
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

  // Lowest index position whose block has a free element, or the block count.
  // This is the block a scan of the use counts in address order would find;
  // the room bits (one per slot, set while the block's use count is below N)
  // let Malloc read one word per 64 blocks instead of every block's header,
  // which matters for pools of many blocks.
  unsigned FirstBlockWithRoom() const {
    const unsigned words = RoomWords(m_nBlockCount);
    for (unsigned w = 0; w < words; ++w)
      if (m_pRoom[w] != 0) return w * 64 + unsigned(__builtin_ctzll(m_pRoom[w]));
    return m_nBlockCount;
  }

  void SetRoom(unsigned i, bool room) {
    const uint64_t bit = uint64_t(1) << (i % 64);
    if (room)
      m_pRoom[i / 64] |= bit;
    else
      m_pRoom[i / 64] &= ~bit;
  }

  // Takes the first set bit of the bitmap, most significant bit of the
  // lowest byte first: read big-endian, that is a count of leading zeros.
  // Two 32-bit words are read at a time where the bitmap has them (the
  // first set bit is the same). NULL only if no bit is set.
  static T* TakeFrom(DataArray_tag* block) {
    unsigned w = 0;
    for (; w + 1 < kBitmapWords; w += 2) {
      uint64_t word;
      std::memcpy(&word, block->m_Bitmap + w * 4, 8);
      if (word != 0) return Take(block, w * 32 + unsigned(__builtin_clzll(BigEndian64(word))));
    }
    if (w < kBitmapWords) {
      uint32_t word;
      std::memcpy(&word, block->m_Bitmap + w * 4, 4);
      if (word != 0) return Take(block, w * 32 + unsigned(__builtin_clz(BigEndian32(word))));
    }
    return NULL;
  }

  static T* Take(DataArray_tag* block, unsigned k) {
    block->m_Bitmap[k / 8] &= uint8_t(~(0x80u >> (k % 8)));
    ++block->m_nUseCount;
    return &block->m_Data[k];
  }

#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  static uint32_t BigEndian32(uint32_t w) { return __builtin_bswap32(w); }
  static uint64_t BigEndian64(uint64_t w) { return __builtin_bswap64(w); }
#else
  static uint32_t BigEndian32(uint32_t w) { return w; }
  static uint64_t BigEndian64(uint64_t w) { return w; }
#endif

  bool GrowIndex() {
    const unsigned size = m_nIndexSize + G;
    DataArray_tag** index = new (std::nothrow) DataArray_tag*[size]();
    uint64_t* room = new (std::nothrow) uint64_t[RoomWords(size)]();
    if (index == NULL || room == NULL) {
      delete[] index;
      delete[] room;
      return false;
    }
    for (unsigned i = 0; i < m_nBlockCount; ++i) index[i] = m_Index[i];
    std::memcpy(room, m_pRoom, RoomWords(m_nIndexSize) * sizeof(uint64_t));
    delete[] m_Index;
    delete[] m_pRoom;
    m_Index = index;
    m_pRoom = room;
    m_nIndexSize = size;
    return true;
  }

  // Insert a new (empty) block at its address-sorted position, found by
  // bisection, moving the later slots up by one; returns the position. The
  // caller made room in the index.
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
    for (unsigned i = m_nBlockCount; i > lo; --i) m_Index[i] = m_Index[i - 1];
    m_Index[lo] = block;
    SetRoom(lo, true);
    ++m_nBlockCount;
    return lo;
  }

  DataArray_tag** m_Index;
  uint64_t* m_pRoom;  // bit i: block i has a free element
  unsigned m_nBlockCount;
  unsigned m_nIndexSize;
  unsigned m_nUsed;
};

// The pool for objects shared between threads. Malloc and Free are still
// unguarded: hold GetMutex() around each (or use the Locked forms), as the
// event factories do.
template <class T, unsigned N, unsigned I, unsigned G>
class ZEPMTFixMem : public ZEPFixMem<T, N, I, G> {
 public:
  void DestroyMe() override { delete this; }

  Mutex& GetMutex() { return m_Mutex; }

  // Malloc and Free each under the pool's mutex; for callers that hold no
  // other pool's lock around them.
  T* LockedMalloc() {
    m_Mutex.Acquire();
    T* p = this->Malloc();
    m_Mutex.Release();
    return p;
  }
  // LockedMalloc for pools whose elements come back through DeferredFree:
  // takes back what waits on the return stack first.
  T* LockedReclaimMalloc() {
    m_Mutex.Acquire();
    ReclaimLocked();
    T* p = this->Malloc();
    m_Mutex.Release();
    return p;
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
  void ReclaimLocked() {
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
    m_Mutex.Acquire();
    int rc = this->Free(p);
    m_Mutex.Release();
    return rc;
  }

 private:
  Mutex m_Mutex;
  std::atomic<void*> m_pDeferred{nullptr};
  std::atomic<unsigned> m_nDeferred{0};
};

#endif  // ZEP_BASE_ZEPFIXMEM_H
