// zepbtree.h — B+tree index of records keyed by their first field.
//
// ZEPBTree<T, 4> owns copies of records of type T, ordered by the record's
// first field read as an unsigned integer as wide as a pointer (uintptr_t):
// node, mutex and thread handles are keys, so T's first field must be
// pointer-wide (a pointer, uintptr_t or intptr_t; a socket number is stored
// widened). Keys compare unsigned, so a key with the top bit set sorts last.
// With duplicates allowed, records of one key form a train behind one leaf
// slot, in insertion order.
//
// Shape: index nodes hold up to 4 separator keys and 5 children; data leaves
// hold up to 4 containers, each carrying a record and the rest of its train.
// A separator is the key of the first record right of it (kept as a value,
// so descents never touch records): keys below it lie left, equal or above
// lie right. Leaves keep two entries or more, except under a root with one
// separator, which may also have an empty child 0 after deletes.
// Nodes, containers and records come from four ZEPFixMem pools owned by the
// tree (usePools) or from the heap. ZEPBTreeBase holds the whole algorithm
// over untyped records; ZEPBTree<T> adds the typed interface and the record
// storage.
//
// Iteration walks a chain of data leaves that is rebuilt lazily: inserts and
// deletes mark it stale, GetFirstKey and searches with outputs rebuild it.
// A cursor positioned before a change is dead: GetNextKey returns NULL.
//
// Threads: no locking. Each owner serialises its own use of a tree (the
// frame's node registry and socket maps under the frame's locks). The tree
// takes no lock of its own, not even its pools' locks.
#ifndef ZEP_BASE_ZEPBTREE_H
#define ZEP_BASE_ZEPBTREE_H

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <type_traits>

#include "base/zepassert.h"
#include "base/zepfixmem.h"
#include "base/zeptlist.h"

// One record of a key; m_pNext continues the key's train.
struct DATA_CONTAINER_tag {
  void* m_pRec;
  DATA_CONTAINER_tag* m_pNext;
  uintptr_t m_nReserved;  // always 0
};

// Four containers sorted by key, empty slots NULL and at the end. The keys are
// kept beside the containers so a leaf is searched without touching records.
struct BTREE_DATA_LEAF_tag {
  DATA_CONTAINER_tag* m_pData[4];
  uintptr_t m_nKey[4];
  BTREE_DATA_LEAF_tag* m_pNext;  // data list, valid while the tree says so
  BTREE_DATA_LEAF_tag* m_pPrev;
  uint32_t m_nCount;
};

enum { BTREE_LEVEL_INDEX = 1, BTREE_LEVEL_DATA = 2 };

// Child i holds keys in [m_nKey[i-1], m_nKey[i]). Level BTREE_LEVEL_INDEX:
// children are index nodes; BTREE_LEVEL_DATA: children are data leaves.
struct BTREE_INDEX_LEAF_tag {
  void* m_pChild[5];
  uintptr_t m_nKey[4];
  uint8_t m_nLevel;
  uint8_t m_nKeys;  // separators in use; m_nKeys + 1 children
  BTREE_INDEX_LEAF_tag* m_pParent;
};

// A separator with the child right of it, as handed to an index split.
struct INDEX_KEY_tag {
  void* m_pChild;
  uintptr_t m_nKey;
};

// Where SearchKey found its record.
struct SEARCH_KEY_tag {
  DATA_CONTAINER_tag* m_pContainer;
  BTREE_DATA_LEAF_tag* m_pLeaf;
  DATA_CONTAINER_tag* m_pNextInTrain;
  int m_nPos;
};

// Iteration cursor of GetFirstKey/GetNextKey. m_nGeneration ties it to the
// tree state it was positioned in.
struct GET_KEY_tag {
  BTREE_DATA_LEAF_tag* m_pLeaf;
  DATA_CONTAINER_tag* m_pNextInTrain;
  int m_nPos;
  uint64_t m_nGeneration;
};

// Allocation counters; "Del" counts returns.
struct BTREE_STATS_tag {
  unsigned m_nIndexLeafNew, m_nIndexLeafDel;
  unsigned m_nDataLeafNew, m_nDataLeafDel;
  unsigned m_nContainerNew, m_nContainerDel;
  unsigned m_nRecNew, m_nRecDel;
};

// The tree over untyped records; records are created and released through
// the two hooks that ZEPBTree<T> implements.
class ZEPBTreeBase : public RefCount {
 public:
  ZEPBTreeBase(const ZEPBTreeBase&) = delete;
  ZEPBTreeBase& operator=(const ZEPBTreeBase&) = delete;

  void SetAllowDuplicates(bool allow) { m_bAllowDup = allow; }
  bool GetAllowDuplicates() const { return m_bAllowDup; }

  // Releases every node, container and record; pools keep their blocks.
  void DestroyTree();

  // Distinct keys in the tree.
  unsigned GetKeyCount() const { return m_nKeyCount; }
  const BTREE_STATS_tag& GetStats() const { return m_Stats; }
  bool IsUsingPools() const { return m_bUsePools; }

  // Read-only views for diagnostics and structure checks.
  const BTREE_INDEX_LEAF_tag* GetRootNode() const { return m_pRoot; }
  const BTREE_DATA_LEAF_tag* GetDataListHead() const { return m_pHead; }
  const BTREE_DATA_LEAF_tag* GetDataListTail() const { return m_pTail; }
  bool IsDataListValid() const { return m_bDataListValid; }

  static uintptr_t KeyOf(const void* rec) {
    uintptr_t key;
    std::memcpy(&key, rec, sizeof key);
    return key;
  }

 protected:
  typedef BTREE_INDEX_LEAF_tag Index;
  typedef BTREE_DATA_LEAF_tag Leaf;
  typedef DATA_CONTAINER_tag Container;
  enum { kKeys = 4, kChildren = 5, kMaxSpare = 64 };

  explicit ZEPBTreeBase(bool usePools);
  // The derived tree empties itself first: its records need its hooks.
  ~ZEPBTreeBase() override;

  int InsertRec(const void* rec);
  int DeleteRec(const void* rec);
  void* SearchRec(const void* rec, SEARCH_KEY_tag* cursor, void** prev, void** next);
  void* GetFirstRec(GET_KEY_tag* cursor);
  void* GetNextRec(GET_KEY_tag* cursor, bool walkTrain);

  // The plain lookup (no outputs, so no data list), kept inline: it is the
  // hot path of the frame's registries.
  void* FindRec(uintptr_t key) const {
    const Index* node = m_pRoot;
    if (node == NULL) return NULL;
    for (;;) {
      const void* child = node->m_pChild[SeekInsertPoint(node, key)];
      if (child == NULL) return NULL;
      if (node->m_nLevel != BTREE_LEVEL_INDEX) {
        const Leaf* leaf = static_cast<const Leaf*>(child);
        const int slot = SeekLeafPos(leaf, key);
        if (slot < static_cast<int>(leaf->m_nCount) && leaf->m_nKey[slot] == key)
          return leaf->m_pData[slot]->m_pRec;
        return NULL;
      }
      node = static_cast<const Index*>(child);
    }
  }

  // A copy of rec from the record pool or the heap, or NULL.
  virtual void* NewRecType(const void* rec) = 0;
  virtual void DeleteRecType(void* rec) = 0;

  // Child position of key in an index node: the number of separators <= key.
  static int SeekInsertPoint(const Index* node, uintptr_t key) {
    int lo = 0, hi = node->m_nKeys;
    while (lo < hi) {
      int mid = (lo + hi) >> 1;
      if (node->m_nKey[mid] <= key)
        lo = mid + 1;
      else
        hi = mid;
    }
    return lo;
  }

  // First slot of a leaf whose key is not below key.
  static int SeekLeafPos(const Leaf* leaf, uintptr_t key) {
    int lo = 0, hi = static_cast<int>(leaf->m_nCount);
    while (lo < hi) {
      int mid = (lo + hi) >> 1;
      if (leaf->m_nKey[mid] < key)
        lo = mid + 1;
      else
        hi = mid;
    }
    return lo;
  }

  void SplitIndexLeaf(Index* node, int pos, INDEX_KEY_tag add, Index** spare, int* nSpare);
  int RemoveIndexKey(Index* node, int pos);
  static void QuickSortData(Leaf* leaf, Container* c, uintptr_t key) {
    LeafInsertAt(leaf, SeekLeafPos(leaf, key), c, key);
  }
  void SubMakeDataList();
  void SubDestroyTree(Index* node);
  // Releases a key's train. Inline, like the node helpers below that both
  // inserts and deletes use: they live in separate units.
  void DeleteDataContainerTrain(Container* c) {
    while (c != NULL) {
      Container* next = c->m_pNext;
      ++m_Stats.m_nRecDel;
      DeleteRecType(c->m_pRec);
      FreeContainer(c);
      c = next;
    }
  }

  const bool m_bUsePools;

 private:
  typedef ZEPFixMem<Container, 1000, 1000, 1000> ContainerPool;
  typedef ZEPFixMem<Leaf, 1000, 1000, 1000> DataLeafPool;
  typedef ZEPFixMem<Index, 2000, 1000, 1000> IndexLeafPool;

  static void* RecOf(const Container* c) { return c->m_pRec; }
  static Index* IndexChild(const Index* n, int i) { return static_cast<Index*>(n->m_pChild[i]); }
  static Leaf* LeafChild(const Index* n, int i) { return static_cast<Leaf*>(n->m_pChild[i]); }

  Index* NewIndexLeaf();
  void FreeIndexLeaf(Index* p);
  Leaf* NewDataLeaf();
  void FreeDataLeaf(Leaf* p);
  Container* NewEntry(const void* rec);  // container with a copied record
  void FreeContainer(Container* c);

  // Level-2 node whose child range holds key and the child position, or
  // NULL on a broken structure. checkFill: non-root nodes need 2 separators.
  // Inline: inserts, deletes and searches (three units) start with it.
  Index* Descend(uintptr_t key, int* pos, bool checkFill) const {
    Index* node = m_pRoot;
    for (;;) {
      if (checkFill && node != m_pRoot && node->m_nKeys < 2) return NULL;
      const int i = SeekInsertPoint(node, key);
      if (node->m_nLevel == BTREE_LEVEL_DATA) {
        *pos = i;
        return node;
      }
      if (node->m_nLevel != BTREE_LEVEL_INDEX || node->m_pChild[i] == NULL) return NULL;
      node = IndexChild(node, i);
    }
  }
  static int ChildIndex(const Index* parent, const void* child) {
    int i = 0;
    while (i < parent->m_nKeys && parent->m_pChild[i] != child) ++i;
    ZEP_ASSERT(parent->m_pChild[i] == child);
    return i;
  }
  static void SetNode(Index* node, const uintptr_t* keys, void* const* children, int nKeys);
  static void InsertIntoIndex(Index* node, int pos, INDEX_KEY_tag add);
  static void LeafInsertAt(Leaf* leaf, int pos, Container* c, uintptr_t key) {
    for (int i = static_cast<int>(leaf->m_nCount); i > pos; --i) {
      leaf->m_pData[i] = leaf->m_pData[i - 1];
      leaf->m_nKey[i] = leaf->m_nKey[i - 1];
    }
    leaf->m_pData[pos] = c;
    leaf->m_nKey[pos] = key;
    ++leaf->m_nCount;
  }
  static void LeafRemoveAt(Leaf* leaf, int pos);
  static void LeafSet(Leaf* leaf, Container* const* cs, const uintptr_t* keys, int n);
  int IndexNodesForSplit(const Index* node) const;
  int InsertFull(Index* parent, int pos, Leaf* leaf, Container* c, uintptr_t key);
  // Inline, and defined in the one unit that calls it: every leaf split
  // runs it.
  inline bool AllocSplit(int need, Leaf** fresh, Index** spare, int* nSpare);
  static void GrowRoot(Index* root, const uintptr_t* s, void* const* c, Index** spare, int* nSpare);
  static void BorrowFromLeft(Index* up, int g, Index* left, Index* node);
  static void BorrowFromRight(Index* up, int g, Index* node, Index* right);
  void ReplaceSeparator(Index* node, int pos, uintptr_t oldKey, uintptr_t newKey);
  int RebalanceLeaf(Index* parent, int pos, Leaf* leaf);
  void EmptyTree();
  void LinkLeaves(Index* node);
  static int Gather(const Index* a, uintptr_t mid, const Index* b, uintptr_t* ks, void** cs);
  static void* LastBefore(const Leaf* leaf);
  static void* FirstAfter(const Leaf* leaf);
  static void* FirstOf(const Leaf* leaf);
  void Changed() {
    m_bDataListValid = false;
    ++m_nGeneration;
  }

  Leaf* m_pHead;
  Leaf* m_pTail;
  Index* m_pRoot;
  bool m_bDataListValid;
  bool m_bAllowDup;
  BTREE_STATS_tag m_Stats;
  ContainerPool* m_DataContainerPool;
  DataLeafPool* m_DataLeafPool;
  IndexLeafPool* m_IndexLeafPool;
  unsigned m_nKeyCount;
  uint64_t m_nGeneration;  // bumped by every change that can move or free a leaf
};

template <class T, unsigned ORDER = 4>
class ZEPBTree : public ZEPBTreeBase {
  static_assert(ORDER == 4, "node records are laid out for four keys");
  static_assert(std::is_standard_layout<T>::value, "the key must be the record's first field");
  static_assert(sizeof(T) >= sizeof(uintptr_t), "the key field is pointer-wide");

 public:
  explicit ZEPBTree(bool usePools = true)
      : ZEPBTreeBase(usePools), m_RecTypePool(usePools ? new RecPool : NULL) {}

  ~ZEPBTree() override {
    DestroyTree();
    if (m_RecTypePool != NULL) m_RecTypePool->DestroyMe();
  }

  void DestroyMe() override { delete this; }

  // 0: new key; 1: key present (copy appended to its train when duplicates
  // are allowed); -1: inconsistent structure; -2: out of memory (the tree is
  // unchanged).
  int InsertKey(const T& rec) { return InsertRec(&rec); }

  // Removes the whole train of rec's key. 0: removed; 1: absent; -1:
  // inconsistent structure.
  int DeleteKey(const T& rec) { return DeleteRec(&rec); }

  // First record of rec's key or NULL. Every output is optional; prev and
  // next get the first records of the nearest smaller and greater keys, also
  // when the key is absent.
  T* SearchKey(const T& rec, SEARCH_KEY_tag* cursor = NULL, T** prev = NULL, T** next = NULL) {
    if (cursor == NULL && prev == NULL && next == NULL)
      return static_cast<T*>(FindRec(KeyOf(&rec)));
    void* p = NULL;
    void* n = NULL;
    T* found = static_cast<T*>(
        SearchRec(&rec, cursor, prev != NULL ? &p : NULL, next != NULL ? &n : NULL));
    if (prev != NULL) *prev = static_cast<T*>(p);
    if (next != NULL) *next = static_cast<T*>(n);
    return found;
  }

  T* GetFirstKey(GET_KEY_tag* cursor) { return static_cast<T*>(GetFirstRec(cursor)); }
  // walkTrain: the rest of the current key's train comes first. NULL at the
  // end, and for a cursor positioned before the last insert or delete.
  T* GetNextKey(GET_KEY_tag* cursor, bool walkTrain) {
    return static_cast<T*>(GetNextRec(cursor, walkTrain));
  }

 protected:
  void* NewRecType(const void* rec) override {
    const T& src = *static_cast<const T*>(rec);
    if (m_RecTypePool == NULL) return new (std::nothrow) T(src);
    T* p = m_RecTypePool->Malloc();
    if (p != NULL) *p = src;
    return p;
  }

  void DeleteRecType(void* rec) override {
    T* p = static_cast<T*>(rec);
    if (m_RecTypePool == NULL)
      delete p;
    else if (m_RecTypePool->Free(p) != 0)
      std::fputs("m_RecTypePool error!\n", stdout);
  }

 private:
  typedef ZEPFixMem<T, 500, 1000, 1000> RecPool;
  RecPool* m_RecTypePool;
};

#endif  // ZEP_BASE_ZEPBTREE_H
