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
// ZEPMTFixMem adds a Mutex that the pool never takes itself: every user holds
// it around each Malloc and Free (it is a leaf lock, taken after any frame,
// queue or engine lock). The reference count inherited from RefCount is atomic.
#ifndef ZEP_BASE_ZEPFIXMEM_H
#define ZEP_BASE_ZEPFIXMEM_H

#include <cstdint>
#include <cstring>
#include <new>

#include "base/zepassert.h"
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

  ZEPFixMem() : m_Index(new DataArray_tag*[I]()), m_nBlockCount(0), m_nIndexSize(I), m_nUsed(0) {}

  ~ZEPFixMem() override {
    for (unsigned i = 0; i < m_nBlockCount; ++i) {
      ZEP_ASSERT(NULL != m_Index[i]);
      delete m_Index[i];
    }
    delete[] m_Index;
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
      InsertBlock(block);
    }
    ++m_nUsed;
    return TakeFrom(block);
  }

  // 0: returned; -2: p lies below every block; -3: p lies beyond the elements
  // of the nearest block below it; -4: p is not at an element boundary;
  // -5: the element is already free (a second Free of it changes nothing).
  int Free(T* p) {
    const uintptr_t addr = reinterpret_cast<uintptr_t>(p);
    // Greatest block address not above p.
    unsigned lo = 0, hi = m_nBlockCount;
    while (lo < hi) {
      unsigned mid = lo + (hi - lo) / 2;
      if (reinterpret_cast<uintptr_t>(m_Index[mid]) <= addr)
        lo = mid + 1;
      else
        hi = mid;
    }
    if (lo == 0) return -2;
    DataArray_tag* block = m_Index[lo - 1];
    const uintptr_t offset = addr - reinterpret_cast<uintptr_t>(block->m_Data);
    if (offset >= sizeof(block->m_Data)) return -3;
    if (offset % sizeof(T) != 0) return -4;
    const unsigned k = unsigned(offset / sizeof(T));
    const uint8_t bit = uint8_t(0x80u >> (k % 8));
    if (block->m_Bitmap[k / 8] & bit) return -5;
    block->m_Bitmap[k / 8] |= bit;
    --block->m_nUseCount;
    --m_nUsed;
    return 0;
  }

  // Elements handed out and not yet returned, over all blocks.
  unsigned GetCount() const { return m_nUsed; }
  unsigned GetBlockCount() const { return m_nBlockCount; }
  unsigned GetIndexSize() const { return m_nIndexSize; }
  static constexpr unsigned GetBlockSize() { return N; }

 private:
  // Lowest index position whose block has a free element, or the block count.
  unsigned FirstBlockWithRoom() const {
    for (unsigned i = 0; i < m_nBlockCount; ++i) {
      if (m_Index[i] == NULL) break;
      if (m_Index[i]->m_nUseCount < N) return i;
    }
    return m_nBlockCount;
  }

  // First set bit of the bitmap, most significant bit of the lowest byte
  // first; reading each word big-endian turns that into a count of leading
  // zeros. The caller guarantees that the block has a free element.
  static T* TakeFrom(DataArray_tag* block) {
    for (unsigned w = 0; w < kBitmapWords; ++w) {
      uint32_t word;
      std::memcpy(&word, block->m_Bitmap + w * 4, 4);
      if (word == 0) continue;
      const unsigned k = w * 32 + unsigned(__builtin_clz(BigEndian(word)));
      block->m_Bitmap[k / 8] &= uint8_t(~(0x80u >> (k % 8)));
      ++block->m_nUseCount;
      return &block->m_Data[k];
    }
    ZEP_ASSERT(block->m_nUseCount < N);  // a block with room has a set bit
    return NULL;
  }

  static uint32_t BigEndian(uint32_t w) {
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    return __builtin_bswap32(w);
#else
    return w;
#endif
  }

  bool GrowIndex() {
    const unsigned size = m_nIndexSize + G;
    DataArray_tag** index = new (std::nothrow) DataArray_tag*[size]();
    if (index == NULL) return false;
    for (unsigned i = 0; i < m_nBlockCount; ++i) index[i] = m_Index[i];
    delete[] m_Index;
    m_Index = index;
    m_nIndexSize = size;
    return true;
  }

  // Insert at the address-sorted position (found by bisection), moving the
  // later slots up by one. The caller made room in the index.
  void InsertBlock(DataArray_tag* block) {
    const uintptr_t addr = reinterpret_cast<uintptr_t>(block);
    unsigned lo = 0, hi = m_nBlockCount;
    while (lo < hi) {
      unsigned mid = lo + (hi - lo) / 2;
      if (reinterpret_cast<uintptr_t>(m_Index[mid]) < addr)
        lo = mid + 1;
      else
        hi = mid;
    }
    for (unsigned i = m_nBlockCount; i > lo; --i) m_Index[i] = m_Index[i - 1];
    m_Index[lo] = block;
    ++m_nBlockCount;
  }

  DataArray_tag** m_Index;
  unsigned m_nBlockCount;
  unsigned m_nIndexSize;
  unsigned m_nUsed;
};

#endif  // ZEP_BASE_ZEPFIXMEM_H
