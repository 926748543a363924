#include "base/zepbtree.h"

#include <cstdio>

ZEPBTreeBase::ZEPBTreeBase(bool usePools)
    : m_bUsePools(usePools),
      m_pHead(NULL),
      m_pTail(NULL),
      m_pRoot(NULL),
      m_bDataListValid(false),
      m_bAllowDup(false),
      m_Stats(),
      m_DataContainerPool(usePools ? new ContainerPool : NULL),
      m_DataLeafPool(usePools ? new DataLeafPool : NULL),
      m_IndexLeafPool(usePools ? new IndexLeafPool : NULL),
      m_nKeyCount(0),
      m_nGeneration(0) {}

ZEPBTreeBase::~ZEPBTreeBase() {
  ZEP_ASSERT(NULL == m_pRoot);
  if (m_bUsePools) {
    m_DataContainerPool->DestroyMe();
    m_DataLeafPool->DestroyMe();
    m_IndexLeafPool->DestroyMe();
  }
}

BTREE_INDEX_LEAF_tag* ZEPBTreeBase::NewIndexLeaf() {
  Index* p = m_bUsePools ? m_IndexLeafPool->Malloc() : new (std::nothrow) Index;
  if (p == NULL) return NULL;
  std::memset(p, 0, sizeof *p);
  ++m_Stats.m_nIndexLeafNew;
  return p;
}

void ZEPBTreeBase::FreeIndexLeaf(Index* p) {
  ++m_Stats.m_nIndexLeafDel;
  if (!m_bUsePools)
    delete p;
  else if (m_IndexLeafPool->Free(p) != 0)
    std::fputs("m_IndexLeafPool error!\n", stdout);
}

BTREE_DATA_LEAF_tag* ZEPBTreeBase::NewDataLeaf() {
  Leaf* p = m_bUsePools ? m_DataLeafPool->Malloc() : new (std::nothrow) Leaf;
  if (p == NULL) return NULL;
  std::memset(p, 0, sizeof *p);
  ++m_Stats.m_nDataLeafNew;
  return p;
}

void ZEPBTreeBase::FreeDataLeaf(Leaf* p) {
  ++m_Stats.m_nDataLeafDel;
  if (!m_bUsePools)
    delete p;
  else if (m_DataLeafPool->Free(p) != 0)
    std::fputs("m_DataLeafPool error!\n", stdout);
}

DATA_CONTAINER_tag* ZEPBTreeBase::NewEntry(const void* rec) {
  void* r = NewRecType(rec);
  if (r == NULL) return NULL;
  ++m_Stats.m_nRecNew;
  Container* c = m_bUsePools ? m_DataContainerPool->Malloc() : new (std::nothrow) Container;
  if (c == NULL) {
    ++m_Stats.m_nRecDel;
    DeleteRecType(r);
    return NULL;
  }
  std::memset(c, 0, sizeof *c);
  c->m_pRec = r;
  ++m_Stats.m_nContainerNew;
  return c;
}

void ZEPBTreeBase::FreeContainer(Container* c) {
  ++m_Stats.m_nContainerDel;
  if (!m_bUsePools)
    delete c;
  else if (m_DataContainerPool->Free(c) != 0)
    std::fputs("m_DataContainerPool error!\n", stdout);
}

void ZEPBTreeBase::DeleteDataContainerTrain(Container* c) {
  while (c != NULL) {
    Container* next = c->m_pNext;
    ++m_Stats.m_nRecDel;
    DeleteRecType(c->m_pRec);
    FreeContainer(c);
    c = next;
  }
}

int ZEPBTreeBase::ChildIndex(const Index* parent, const void* child) {
  int i = 0;
  while (i < parent->m_nKeys && parent->m_pChild[i] != child) ++i;
  ZEP_ASSERT(parent->m_pChild[i] == child);
  return i;
}

void ZEPBTreeBase::SetNode(Index* node, const uintptr_t* keys, void* const* children, int nKeys) {
  for (int i = 0; i < kKeys; ++i) node->m_nKey[i] = i < nKeys ? keys[i] : 0;
  for (int i = 0; i < kChildren; ++i) {
    node->m_pChild[i] = i <= nKeys ? children[i] : NULL;
    if (i <= nKeys && node->m_nLevel == BTREE_LEVEL_INDEX)
      static_cast<Index*>(node->m_pChild[i])->m_pParent = node;
  }
  node->m_nKeys = static_cast<uint8_t>(nKeys);
}

void ZEPBTreeBase::InsertIntoIndex(Index* node, int pos, INDEX_KEY_tag add) {
  for (int i = node->m_nKeys; i > pos; --i) {
    node->m_nKey[i] = node->m_nKey[i - 1];
    node->m_pChild[i + 1] = node->m_pChild[i];
  }
  node->m_nKey[pos] = add.m_nKey;
  node->m_pChild[pos + 1] = add.m_pChild;
  ++node->m_nKeys;
  if (node->m_nLevel == BTREE_LEVEL_INDEX) static_cast<Index*>(add.m_pChild)->m_pParent = node;
}

void ZEPBTreeBase::LeafInsertAt(Leaf* leaf, int pos, Container* c, uintptr_t key) {
  for (int i = static_cast<int>(leaf->m_nCount); i > pos; --i) {
    leaf->m_pData[i] = leaf->m_pData[i - 1];
    leaf->m_nKey[i] = leaf->m_nKey[i - 1];
  }
  leaf->m_pData[pos] = c;
  leaf->m_nKey[pos] = key;
  ++leaf->m_nCount;
}

void ZEPBTreeBase::QuickSortData(Leaf* leaf, Container* c, uintptr_t key) {
  LeafInsertAt(leaf, SeekLeafPos(leaf, key), c, key);
}

void ZEPBTreeBase::LeafRemoveAt(Leaf* leaf, int pos) {
  for (int i = pos; i + 1 < static_cast<int>(leaf->m_nCount); ++i) {
    leaf->m_pData[i] = leaf->m_pData[i + 1];
    leaf->m_nKey[i] = leaf->m_nKey[i + 1];
  }
  --leaf->m_nCount;
  leaf->m_pData[leaf->m_nCount] = NULL;
  leaf->m_nKey[leaf->m_nCount] = 0;
}

void ZEPBTreeBase::LeafSet(Leaf* leaf, Container* const* cs, const uintptr_t* keys, int n) {
  for (int i = 0; i < kKeys; ++i) {
    leaf->m_pData[i] = i < n ? cs[i] : NULL;
    leaf->m_nKey[i] = i < n ? keys[i] : 0;
  }
  leaf->m_nCount = static_cast<uint32_t>(n);
}

BTREE_INDEX_LEAF_tag* ZEPBTreeBase::Descend(uintptr_t key, int* pos, bool checkFill) const {
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

int ZEPBTreeBase::InsertRec(const void* rec) {
  const uintptr_t key = KeyOf(rec);
  if (m_pRoot == NULL) {
    Index* root = NewIndexLeaf();
    Leaf* leaf = root != NULL ? NewDataLeaf() : NULL;
    Container* c = leaf != NULL ? NewEntry(rec) : NULL;
    if (c == NULL) {
      if (leaf != NULL) FreeDataLeaf(leaf);
      if (root != NULL) FreeIndexLeaf(root);
      return -2;
    }
    root->m_nLevel = BTREE_LEVEL_DATA;
    root->m_pChild[0] = leaf;
    LeafInsertAt(leaf, 0, c, key);
    m_pRoot = root;
    ++m_nKeyCount;
    Changed();
    return 0;
  }
  int pos;
  Index* parent = Descend(key, &pos, false);
  if (parent == NULL) return -1;
  Leaf* leaf = LeafChild(parent, pos);
  if (leaf != NULL) {
    const int slot = SeekLeafPos(leaf, key);
    if (slot < static_cast<int>(leaf->m_nCount) && leaf->m_nKey[slot] == key) {
      if (!m_bAllowDup) return 1;
      Container* c = NewEntry(rec);
      if (c == NULL) return -2;
      Container* last = leaf->m_pData[slot];
      while (last->m_pNext != NULL) last = last->m_pNext;
      last->m_pNext = c;
      return 1;
    }
  } else if (pos != 0) {
    return -1;  // only child 0 of the root may be empty
  }
  Container* c = NewEntry(rec);
  if (c == NULL) return -2;
  if (leaf == NULL) {
    leaf = NewDataLeaf();
    if (leaf == NULL) {
      DeleteDataContainerTrain(c);
      return -2;
    }
    parent->m_pChild[0] = leaf;
  }
  if (leaf->m_nCount < kKeys) {
    QuickSortData(leaf, c, key);
  } else {
    const int rc = InsertFull(parent, pos, leaf, c, key);
    if (rc != 0) {
      DeleteDataContainerTrain(c);
      return rc;
    }
  }
  ++m_nKeyCount;
  Changed();
  return 0;
}

// Index nodes a leaf split under node will create: full nodes on the way up
// split until a sibling takes a pair or the root grows (two nodes).
int ZEPBTreeBase::IndexNodesForSplit(const Index* node) const {
  int need = 0;
  while (node->m_nKeys == kKeys) {
    const Index* up = node->m_pParent;
    if (up == NULL) return need + 2;
    const int j = ChildIndex(up, node);
    if (j < up->m_nKeys && IndexChild(up, j + 1)->m_nKeys < kKeys) return need;
    if (j > 0 && IndexChild(up, j - 1)->m_nKeys < kKeys) return need;
    ++need;
    node = up;
  }
  return need;
}

// The leaf at parent's child pos is full and c (key) belongs in it. Every
// allocation happens before the first change, so -2 leaves the tree as it was.
int ZEPBTreeBase::InsertFull(Index* parent, int pos, Leaf* leaf, Container* c, uintptr_t key) {
  // The five entries in key order.
  Container* e[kKeys + 1];
  uintptr_t k[kKeys + 1];
  const int slot = SeekLeafPos(leaf, key);
  for (int i = 0, j = 0; i <= kKeys; ++i) {
    if (i == slot) {
      e[i] = c;
      k[i] = key;
    } else {
      e[i] = leaf->m_pData[j];
      k[i] = leaf->m_nKey[j];
      ++j;
    }
  }
  if (pos > 0) {
    Leaf* left = LeafChild(parent, pos - 1);
    if (left == NULL) {
      left = NewDataLeaf();
      if (left == NULL) return -2;
      parent->m_pChild[pos - 1] = left;
    }
    if (left->m_nCount < kKeys) {
      // The leaf's first entry moves left. (The new key is above it: it is not
      // below the separator in front of the leaf, which is that entry's key.)
      LeafInsertAt(left, static_cast<int>(left->m_nCount), e[0], k[0]);
      LeafSet(leaf, e + 1, k + 1, kKeys);
      parent->m_nKey[pos - 1] = k[1];
      return 0;
    }
  }
  if (pos < parent->m_nKeys) {
    Leaf* right = LeafChild(parent, pos + 1);
    if (right->m_nCount < kKeys) {
      LeafInsertAt(right, 0, e[kKeys], k[kKeys]);
      LeafSet(leaf, e, k, kKeys);
      parent->m_nKey[pos] = k[kKeys];
      return 0;
    }
  }
  const int need = parent->m_nKeys == kKeys ? IndexNodesForSplit(parent) : 0;
  ZEP_ASSERT(need <= kMaxSpare);
  Index* spare[kMaxSpare];
  int nSpare = 0;
  Leaf* fresh = NewDataLeaf();
  while (fresh != NULL && nSpare < need) {
    spare[nSpare] = NewIndexLeaf();
    if (spare[nSpare] == NULL) break;
    ++nSpare;
  }
  if (fresh == NULL || nSpare < need) {
    while (nSpare > 0) FreeIndexLeaf(spare[--nSpare]);
    if (fresh != NULL) FreeDataLeaf(fresh);
    return -2;
  }
  // The old leaf keeps its entries 0 and 1, the new leaf takes 2 and 3, and
  // the new entry joins the side its key belongs to.
  const int keep = slot <= 2 ? 3 : 2;
  LeafSet(leaf, e, k, keep);
  LeafSet(fresh, e + keep, k + keep, kKeys + 1 - keep);
  INDEX_KEY_tag add = {fresh, k[keep]};
  if (parent->m_nKeys < kKeys)
    InsertIntoIndex(parent, pos, add);
  else
    SplitIndexLeaf(parent, pos, add, spare, &nSpare);
  ZEP_ASSERT(nSpare == 0);
  return 0;
}

// node is full and add belongs after its child pos: five separators s0..s4
// and six children c0..c5 find room in the order root growth, right sibling,
// left sibling, split.
void ZEPBTreeBase::SplitIndexLeaf(Index* node, int pos, INDEX_KEY_tag add, Index** spare,
                                  int* nSpare) {
  for (;;) {
    uintptr_t s[kKeys + 1];
    void* c[kChildren + 1];
    c[0] = node->m_pChild[0];
    for (int i = 0, j = 0; i <= kKeys; ++i) {
      if (i == pos) {
        s[i] = add.m_nKey;
        c[i + 1] = add.m_pChild;
      } else {
        s[i] = node->m_nKey[j];
        c[i + 1] = node->m_pChild[j + 1];
        ++j;
      }
    }
    Index* up = node->m_pParent;
    if (up == NULL) {
      // The root object stays the root, one level higher.
      Index* left = spare[--*nSpare];
      Index* right = spare[--*nSpare];
      left->m_nLevel = right->m_nLevel = node->m_nLevel;
      left->m_pParent = right->m_pParent = node;
      SetNode(left, s, c, 2);
      SetNode(right, s + 3, c + 3, 2);
      void* halves[2] = {left, right};
      node->m_nLevel = BTREE_LEVEL_INDEX;
      SetNode(node, s + 2, halves, 1);
      return;
    }
    const int j = ChildIndex(up, node);
    if (j < up->m_nKeys && IndexChild(up, j + 1)->m_nKeys < kKeys) {
      // s4 and c5 rotate through the parent into the right sibling.
      Index* sib = IndexChild(up, j + 1);
      uintptr_t ks[kKeys];
      void* cs[kChildren];
      ks[0] = up->m_nKey[j];
      cs[0] = c[kChildren];
      for (int i = 0; i < sib->m_nKeys; ++i) ks[i + 1] = sib->m_nKey[i];
      for (int i = 0; i <= sib->m_nKeys; ++i) cs[i + 1] = sib->m_pChild[i];
      SetNode(sib, ks, cs, sib->m_nKeys + 1);
      up->m_nKey[j] = s[kKeys];
      SetNode(node, s, c, kKeys);
      return;
    }
    if (j > 0 && IndexChild(up, j - 1)->m_nKeys < kKeys) {
      // c0 and the separator in front of the node move into the left sibling.
      Index* sib = IndexChild(up, j - 1);
      INDEX_KEY_tag moved = {c[0], up->m_nKey[j - 1]};
      InsertIntoIndex(sib, sib->m_nKeys, moved);
      up->m_nKey[j - 1] = s[0];
      SetNode(node, s + 1, c + 1, kKeys);
      return;
    }
    Index* fresh = spare[--*nSpare];
    fresh->m_nLevel = node->m_nLevel;
    fresh->m_pParent = up;
    SetNode(fresh, s + 3, c + 3, 2);
    SetNode(node, s, c, 2);
    INDEX_KEY_tag next = {fresh, s[2]};
    if (up->m_nKeys < kKeys) {
      InsertIntoIndex(up, j, next);
      return;
    }
    node = up;
    pos = j;
    add = next;
  }
}

// A separator that equals a deleted first key moves to the key that now
// starts the leaf. Only one ancestor can hold it: the one where the descent
// went right of it.
void ZEPBTreeBase::ReplaceSeparator(Index* node, int pos, uintptr_t oldKey, uintptr_t newKey) {
  for (;;) {
    if (pos > 0 && node->m_nKey[pos - 1] == oldKey) {
      node->m_nKey[pos - 1] = newKey;
      return;
    }
    Index* up = node->m_pParent;
    if (up == NULL) return;
    pos = ChildIndex(up, node);
    node = up;
  }
}

int ZEPBTreeBase::DeleteRec(const void* rec) {
  if (m_pRoot == NULL) return 1;
  const uintptr_t key = KeyOf(rec);
  int pos;
  Index* parent = Descend(key, &pos, true);
  if (parent == NULL) return -1;
  Leaf* leaf = LeafChild(parent, pos);
  if (leaf == NULL) return pos == 0 ? 1 : -1;
  const int slot = SeekLeafPos(leaf, key);
  if (slot >= static_cast<int>(leaf->m_nCount) || leaf->m_nKey[slot] != key) return 1;
  Container* c = leaf->m_pData[slot];
  if (slot == 0 && leaf->m_nCount > 1) ReplaceSeparator(parent, pos, key, leaf->m_nKey[1]);
  LeafRemoveAt(leaf, slot);
  DeleteDataContainerTrain(c);
  --m_nKeyCount;
  Changed();
  // Leaves keep at least two entries except under a root with one separator,
  // so a leaf loses its last entry only there, and the merge below (or the
  // end of the tree) takes care of the separator in front of it.
  if (leaf->m_nCount >= 2) return 0;
  return RebalanceLeaf(parent, pos, leaf);
}

// leaf (child pos of parent) is down to 0 or 1 entries.
int ZEPBTreeBase::RebalanceLeaf(Index* parent, int pos, Leaf* leaf) {
  const int nk = parent->m_nKeys;
  if (nk == 0 || (nk == 1 && parent->m_pChild[0] == NULL)) {
    // The root's only leaf: an empty one takes the tree with it.
    if (leaf->m_nCount == 0) EmptyTree();
    return 0;
  }
  Leaf* right = pos < nk ? LeafChild(parent, pos + 1) : NULL;
  Leaf* left = pos > 0 ? LeafChild(parent, pos - 1) : NULL;
  if (right != NULL && leaf->m_nCount + right->m_nCount <= kKeys) {
    if (nk == 1) {
      // The root's single separator stays, with an empty child 0.
      for (int i = static_cast<int>(leaf->m_nCount) - 1; i >= 0; --i)
        LeafInsertAt(right, 0, leaf->m_pData[i], leaf->m_nKey[i]);
      FreeDataLeaf(leaf);
      parent->m_pChild[0] = NULL;
      parent->m_nKey[0] = right->m_nKey[0];
      return 0;
    }
    for (unsigned i = 0; i < right->m_nCount; ++i)
      LeafInsertAt(leaf, static_cast<int>(leaf->m_nCount), right->m_pData[i], right->m_nKey[i]);
    FreeDataLeaf(right);
    return RemoveIndexKey(parent, pos);
  }
  if (left != NULL && left->m_nCount + leaf->m_nCount <= kKeys) {
    if (nk == 1) {
      for (int i = static_cast<int>(left->m_nCount) - 1; i >= 0; --i)
        LeafInsertAt(leaf, 0, left->m_pData[i], left->m_nKey[i]);
      FreeDataLeaf(left);
      parent->m_pChild[0] = NULL;
      parent->m_nKey[0] = leaf->m_nKey[0];
      return 0;
    }
    for (unsigned i = 0; i < leaf->m_nCount; ++i)
      LeafInsertAt(left, static_cast<int>(left->m_nCount), leaf->m_pData[i], leaf->m_nKey[i]);
    FreeDataLeaf(leaf);
    return RemoveIndexKey(parent, pos - 1);
  }
  if (left != NULL && left->m_nCount >= 3) {
    const int last = static_cast<int>(left->m_nCount) - 1;
    LeafInsertAt(leaf, 0, left->m_pData[last], left->m_nKey[last]);
    LeafRemoveAt(left, last);
    parent->m_nKey[pos - 1] = leaf->m_nKey[0];
    return 0;
  }
  if (right != NULL && right->m_nCount >= 3) {
    LeafInsertAt(leaf, static_cast<int>(leaf->m_nCount), right->m_pData[0], right->m_nKey[0]);
    LeafRemoveAt(right, 0);
    parent->m_nKey[pos] = right->m_nKey[0];
    return 0;
  }
  return -1;
}

// Removes separator pos and the child right of it. A non-root node left with
// one separator merges with a sibling holding two (through the parent's
// separator) or takes one pair from a sibling holding three or more; a root
// left without separators hands its place to its only child.
int ZEPBTreeBase::RemoveIndexKey(Index* node, int pos) {
  const int nk = node->m_nKeys;
  for (int i = pos; i + 1 < nk; ++i) {
    node->m_nKey[i] = node->m_nKey[i + 1];
    node->m_pChild[i + 1] = node->m_pChild[i + 2];
  }
  node->m_nKey[nk - 1] = 0;
  node->m_pChild[nk] = NULL;
  node->m_nKeys = static_cast<uint8_t>(nk - 1);

  Index* up = node->m_pParent;
  if (up == NULL) {
    if (node->m_nKeys == 0 && node->m_nLevel == BTREE_LEVEL_INDEX) {
      Index* only = IndexChild(node, 0);
      node->m_nLevel = only->m_nLevel;
      SetNode(node, only->m_nKey, only->m_pChild, only->m_nKeys);
      FreeIndexLeaf(only);
    }
    return 0;
  }
  if (node->m_nKeys >= 2) return 0;

  const int g = ChildIndex(up, node);
  Index* right = g < up->m_nKeys ? IndexChild(up, g + 1) : NULL;
  Index* left = g > 0 ? IndexChild(up, g - 1) : NULL;
  uintptr_t ks[kKeys + 1];
  void* cs[kChildren + 1];
  if (right != NULL && node->m_nKeys + right->m_nKeys + 1 <= kKeys) {
    const int n = Gather(node, up->m_nKey[g], right, ks, cs);
    SetNode(node, ks, cs, n);
    FreeIndexLeaf(right);
    return RemoveIndexKey(up, g);
  }
  if (left != NULL && left->m_nKeys + node->m_nKeys + 1 <= kKeys) {
    const int n = Gather(left, up->m_nKey[g - 1], node, ks, cs);
    SetNode(left, ks, cs, n);
    FreeIndexLeaf(node);
    return RemoveIndexKey(up, g - 1);
  }
  if (left != NULL && left->m_nKeys >= 3) {
    const int lk = left->m_nKeys;
    ks[0] = up->m_nKey[g - 1];
    cs[0] = left->m_pChild[lk];
    for (int i = 0; i < node->m_nKeys; ++i) ks[i + 1] = node->m_nKey[i];
    for (int i = 0; i <= node->m_nKeys; ++i) cs[i + 1] = node->m_pChild[i];
    SetNode(node, ks, cs, node->m_nKeys + 1);
    up->m_nKey[g - 1] = left->m_nKey[lk - 1];
    left->m_nKey[lk - 1] = 0;
    left->m_pChild[lk] = NULL;
    left->m_nKeys = static_cast<uint8_t>(lk - 1);
    return 0;
  }
  if (right != NULL && right->m_nKeys >= 3) {
    INDEX_KEY_tag moved = {right->m_pChild[0], up->m_nKey[g]};
    InsertIntoIndex(node, node->m_nKeys, moved);
    up->m_nKey[g] = right->m_nKey[0];
    const int rk = right->m_nKeys;
    for (int i = 0; i + 1 < rk; ++i) ks[i] = right->m_nKey[i + 1];
    for (int i = 0; i < rk; ++i) cs[i] = right->m_pChild[i + 1];
    SetNode(right, ks, cs, rk - 1);
    return 0;
  }
  return -1;
}

// Separators and children of a, then mid, then those of b.
int ZEPBTreeBase::Gather(const Index* a, uintptr_t mid, const Index* b, uintptr_t* ks, void** cs) {
  int n = 0;
  for (int i = 0; i < a->m_nKeys; ++i) ks[n++] = a->m_nKey[i];
  ks[n++] = mid;
  for (int i = 0; i < b->m_nKeys; ++i) ks[n++] = b->m_nKey[i];
  int m = 0;
  for (int i = 0; i <= a->m_nKeys; ++i) cs[m++] = a->m_pChild[i];
  for (int i = 0; i <= b->m_nKeys; ++i) cs[m++] = b->m_pChild[i];
  return n;
}

void ZEPBTreeBase::LinkLeaves(Index* node) {
  for (int i = 0; i <= node->m_nKeys; ++i) {
    void* child = node->m_pChild[i];
    if (child == NULL) continue;
    if (node->m_nLevel == BTREE_LEVEL_INDEX) {
      LinkLeaves(static_cast<Index*>(child));
      continue;
    }
    Leaf* leaf = static_cast<Leaf*>(child);
    leaf->m_pPrev = m_pTail;
    leaf->m_pNext = NULL;
    if (m_pTail != NULL)
      m_pTail->m_pNext = leaf;
    else
      m_pHead = leaf;
    m_pTail = leaf;
  }
}

void ZEPBTreeBase::SubMakeDataList() {
  m_pHead = m_pTail = NULL;
  if (m_pRoot != NULL) LinkLeaves(m_pRoot);
  m_bDataListValid = true;
}

void ZEPBTreeBase::SubDestroyTree(Index* node) {
  for (int i = 0; i <= node->m_nKeys; ++i) {
    void* child = node->m_pChild[i];
    if (child == NULL) continue;
    if (node->m_nLevel == BTREE_LEVEL_INDEX) {
      SubDestroyTree(static_cast<Index*>(child));
      continue;
    }
    Leaf* leaf = static_cast<Leaf*>(child);
    for (unsigned j = 0; j < leaf->m_nCount; ++j) DeleteDataContainerTrain(leaf->m_pData[j]);
    FreeDataLeaf(leaf);
  }
  FreeIndexLeaf(node);
}

void ZEPBTreeBase::EmptyTree() {
  if (m_pRoot != NULL) SubDestroyTree(m_pRoot);
  m_pRoot = NULL;
  m_pHead = m_pTail = NULL;
  m_nKeyCount = 0;
  Changed();
}

void ZEPBTreeBase::DestroyTree() { EmptyTree(); }

void* ZEPBTreeBase::SearchRec(const void* rec, SEARCH_KEY_tag* cursor, void** prev, void** next) {
  if (cursor != NULL) std::memset(cursor, 0, sizeof *cursor);
  if (prev != NULL) *prev = NULL;
  if (next != NULL) *next = NULL;
  if (m_pRoot == NULL) return NULL;
  if ((cursor != NULL || prev != NULL || next != NULL) && !m_bDataListValid) SubMakeDataList();
  const uintptr_t key = KeyOf(rec);
  int pos;
  const Index* parent = Descend(key, &pos, false);
  if (parent == NULL) return NULL;
  const Leaf* leaf = LeafChild(parent, pos);
  if (leaf == NULL) {
    // The empty child 0 of the root: nothing is smaller.
    if (next != NULL && m_pHead != NULL) *next = FirstOf(m_pHead);
    return NULL;
  }
  const int slot = SeekLeafPos(leaf, key);
  const int count = static_cast<int>(leaf->m_nCount);
  const bool found = slot < count && leaf->m_nKey[slot] == key;
  if (prev != NULL) *prev = slot > 0 ? RecOf(leaf->m_pData[slot - 1]) : LastBefore(leaf);
  if (next != NULL) {
    const int after = found ? slot + 1 : slot;
    *next = after < count ? RecOf(leaf->m_pData[after]) : FirstAfter(leaf);
  }
  if (!found) return NULL;
  Container* c = leaf->m_pData[slot];
  if (cursor != NULL) {
    cursor->m_pContainer = c;
    cursor->m_pLeaf = const_cast<Leaf*>(leaf);
    cursor->m_pNextInTrain = c->m_pNext;
    cursor->m_nPos = slot;
  }
  return RecOf(c);
}

void* ZEPBTreeBase::GetFirstRec(GET_KEY_tag* cursor) {
  if (!m_bDataListValid) SubMakeDataList();
  Leaf* leaf = m_pHead;
  while (leaf != NULL && leaf->m_nCount == 0) leaf = leaf->m_pNext;
  if (cursor != NULL) {
    std::memset(cursor, 0, sizeof *cursor);
    cursor->m_pLeaf = leaf;
    cursor->m_nGeneration = m_nGeneration;
  }
  if (leaf == NULL) return NULL;
  Container* c = leaf->m_pData[0];
  if (cursor != NULL) cursor->m_pNextInTrain = c->m_pNext;
  return RecOf(c);
}

void* ZEPBTreeBase::GetNextRec(GET_KEY_tag* cursor, bool walkTrain) {
  if (cursor == NULL || !m_bDataListValid || cursor->m_nGeneration != m_nGeneration) return NULL;
  if (cursor->m_pLeaf == NULL) return NULL;
  if (walkTrain && cursor->m_pNextInTrain != NULL) {
    Container* c = cursor->m_pNextInTrain;
    cursor->m_pNextInTrain = c->m_pNext;
    return RecOf(c);
  }
  Leaf* leaf = cursor->m_pLeaf;
  int pos = cursor->m_nPos + 1;
  while (leaf != NULL && pos >= static_cast<int>(leaf->m_nCount)) {
    leaf = leaf->m_pNext;
    pos = 0;
  }
  cursor->m_pLeaf = leaf;
  cursor->m_nPos = pos;
  cursor->m_pNextInTrain = NULL;
  if (leaf == NULL) return NULL;
  Container* c = leaf->m_pData[pos];
  cursor->m_pNextInTrain = c->m_pNext;
  return RecOf(c);
}

void* ZEPBTreeBase::LastBefore(const Leaf* leaf) {
  for (leaf = leaf->m_pPrev; leaf != NULL; leaf = leaf->m_pPrev)
    if (leaf->m_nCount > 0) return RecOf(leaf->m_pData[leaf->m_nCount - 1]);
  return NULL;
}

void* ZEPBTreeBase::FirstAfter(const Leaf* leaf) {
  for (leaf = leaf->m_pNext; leaf != NULL; leaf = leaf->m_pNext)
    if (leaf->m_nCount > 0) return RecOf(leaf->m_pData[0]);
  return NULL;
}

void* ZEPBTreeBase::FirstOf(const Leaf* leaf) {
  return leaf->m_nCount > 0 ? RecOf(leaf->m_pData[0]) : FirstAfter(leaf);
}
