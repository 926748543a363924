// ZEPBTreeBase: construction, the node and record allocation, the node
// helpers that inserts and deletes share, the data list, searches and
// iteration. Inserts are in zepbtree_insert.cpp, deletes in
// zepbtree_remove.cpp.
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
