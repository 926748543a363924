// ZEPBTreeBase: deletes, with the merges and borrows between siblings that
// keep every node at least half full, and the root's shrinking.
#include "base/zepbtree.h"

void ZEPBTreeBase::LeafRemoveAt(Leaf* leaf, int pos) {
  for (int i = pos; i + 1 < static_cast<int>(leaf->m_nCount); ++i) {
    leaf->m_pData[i] = leaf->m_pData[i + 1];
    leaf->m_nKey[i] = leaf->m_nKey[i + 1];
  }
  --leaf->m_nCount;
  leaf->m_pData[leaf->m_nCount] = NULL;
  leaf->m_nKey[leaf->m_nCount] = 0;
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
    BorrowFromLeft(up, g, left, node);
    return 0;
  }
  if (right != NULL && right->m_nKeys >= 3) {
    BorrowFromRight(up, g, node, right);
    return 0;
  }
  return -1;
}

// node (child g of up) takes the last child of its left sibling, with the
// separator in front of node; the sibling's last separator moves up.
void ZEPBTreeBase::BorrowFromLeft(Index* up, int g, Index* left, Index* node) {
  uintptr_t ks[kKeys + 1];
  void* cs[kChildren + 1];
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
}

// node (child g of up) takes the first child of its right sibling, with the
// separator behind node; the sibling's first separator moves up.
void ZEPBTreeBase::BorrowFromRight(Index* up, int g, Index* node, Index* right) {
  uintptr_t ks[kKeys + 1];
  void* cs[kChildren + 1];
  INDEX_KEY_tag moved = {right->m_pChild[0], up->m_nKey[g]};
  InsertIntoIndex(node, node->m_nKeys, moved);
  up->m_nKey[g] = right->m_nKey[0];
  const int rk = right->m_nKeys;
  for (int i = 0; i + 1 < rk; ++i) ks[i] = right->m_nKey[i + 1];
  for (int i = 0; i < rk; ++i) cs[i] = right->m_pChild[i + 1];
  SetNode(right, ks, cs, rk - 1);
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
