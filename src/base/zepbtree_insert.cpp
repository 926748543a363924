// ZEPBTreeBase: inserts, with the leaf and index splits they may need and
// the moves of entries into siblings that spare a split.
#include "base/zepbtree.h"

void ZEPBTreeBase::LeafSet(Leaf* leaf, Container* const* cs, const uintptr_t* keys, int n) {
  for (int i = 0; i < kKeys; ++i) {
    leaf->m_pData[i] = i < n ? cs[i] : NULL;
    leaf->m_nKey[i] = i < n ? keys[i] : 0;
  }
  leaf->m_nCount = static_cast<uint32_t>(n);
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

// The new leaf and the `need` index nodes of a split, all or none: false
// (and nothing kept) when one of them cannot be had.
inline bool ZEPBTreeBase::AllocSplit(int need, Leaf** fresh, Index** spare, int* nSpare) {
  *fresh = NewDataLeaf();
  while (*fresh != NULL && *nSpare < need) {
    spare[*nSpare] = NewIndexLeaf();
    if (spare[*nSpare] == NULL) break;
    ++*nSpare;
  }
  if (*fresh != NULL && *nSpare >= need) return true;
  while (*nSpare > 0) FreeIndexLeaf(spare[--*nSpare]);
  if (*fresh != NULL) FreeDataLeaf(*fresh);
  return false;
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
  Leaf* fresh = NULL;
  if (!AllocSplit(need, &fresh, spare, &nSpare)) return -2;
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
      GrowRoot(node, s, c, spare, nSpare);
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

// The full root split in two halves under it: the root object stays the
// root, one level higher, over separators s0..s4 and children c0..c5.
void ZEPBTreeBase::GrowRoot(Index* root, const uintptr_t* s, void* const* c, Index** spare,
                            int* nSpare) {
  Index* left = spare[--*nSpare];
  Index* right = spare[--*nSpare];
  left->m_nLevel = right->m_nLevel = root->m_nLevel;
  left->m_pParent = right->m_pParent = root;
  SetNode(left, s, c, 2);
  SetNode(right, s + 3, c + 3, 2);
  void* halves[2] = {left, right};
  root->m_nLevel = BTREE_LEVEL_INDEX;
  SetNode(root, s + 2, halves, 1);
}
