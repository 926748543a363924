#include "base/zeptlist.h"

#include <new>

#include "base/zepassert.h"
#include "base/zepfixmem.h"

CListNode* CListNode::Instance(Pool* pool, ZEPTlist* list) {
  CListNode* node = pool->Malloc();
  if (node == NULL) return NULL;
  node->Init(true, list);
  node->m_pPool = pool;
  // A cursor may hold a pooled node after its list is gone; the pool lives
  // until its last node is back.
  pool->upcount();
  node->upcount();
  return node;
}

void CListNode::Init(bool reset, ZEPTlist* list) {
  if (reset) SetRefCount(0);
  m_pPool = NULL;
  m_pOwner = list;
  m_pNext = NULL;
  m_pPrev = NULL;
  m_pData = NULL;
}

void CListNode::DestroyMe() {
  ZEP_ASSERT(m_pData == NULL);
  if (m_pOwner != NULL) m_pOwner->Unlink(this);
  Pool* pool = m_pPool;
  if (pool == NULL) {
    delete this;
    return;
  }
  pool->Free(this);
  // May destroy the pool and with it this node: nothing touches it after.
  pool->downcount();
}

ZEPTlist::ZEPTlist()
    : m_pHead(NULL), m_pTail(NULL), m_nCount(0), m_pNodePool(NULL), m_bUsePool(false) {}

ZEPTlist::~ZEPTlist() {
  // Detach first, so that releasing a node does not touch this list; nodes
  // that cursors still hold wait, unlinked, for those cursors.
  CListNode* node = m_pHead;
  m_pHead = m_pTail = NULL;
  while (node != NULL) {
    CListNode* next = node->m_pNext;
    node->m_pOwner = NULL;
    node->m_pNext = node->m_pPrev = NULL;
    if (node->m_pData != NULL) {
      node->m_pData = NULL;
      node->downcount();
    }
    node = next;
  }
  m_nCount = 0;
  if (m_pNodePool != NULL) m_pNodePool->downcount();
}

CListNode* ZEPTlist::AllocNode() {
  CListNode* p = NULL;
  if (m_bUsePool) {
    if (m_pNodePool == NULL) {
      m_pNodePool = new CListNode::Pool;
      m_pNodePool->upcount();
    }
    p = CListNode::Instance(m_pNodePool, this);
  } else {
    p = new (std::nothrow) CListNode;
    if (p != NULL) {
      p->Init(true, this);
      p->upcount();
    }
  }
  ZEP_ASSERT(NULL != p);
  return p;
}

void ZEPTlist::Unlink(CListNode* node) {
  if (node->m_pPrev != NULL)
    node->m_pPrev->m_pNext = node->m_pNext;
  else
    m_pHead = node->m_pNext;
  if (node->m_pNext != NULL)
    node->m_pNext->m_pPrev = node->m_pPrev;
  else
    m_pTail = node->m_pPrev;
  node->m_pNext = node->m_pPrev = NULL;
  node->m_pOwner = NULL;
}

int ZEPTlist::Add(void* data, bool atHead) {
  if (data == NULL) return -1;
  CListNode* node = AllocNode();
  node->m_pData = data;
  if (atHead) {
    node->m_pNext = m_pHead;
    (m_pHead != NULL ? m_pHead->m_pPrev : m_pTail) = node;
    m_pHead = node;
  } else {
    node->m_pPrev = m_pTail;
    (m_pTail != NULL ? m_pTail->m_pNext : m_pHead) = node;
    m_pTail = node;
  }
  ++m_nCount;
  return 0;
}

// Clears the node's element and drops the list's reference, which unlinks
// and frees the node unless a cursor still stands on it.
void* ZEPTlist::TakeData(CListNode* node) {
  void* data = node->m_pData;
  node->m_pData = NULL;
  --m_nCount;
  node->downcount();
  return data;
}

CListNode* ZEPTlist::FirstLive() const {
  CListNode* node = m_pHead;
  while (node != NULL && node->m_pData == NULL) node = node->m_pNext;
  return node;
}

CListNode* ZEPTlist::LastLive() const {
  CListNode* node = m_pTail;
  while (node != NULL && node->m_pData == NULL) node = node->m_pPrev;
  return node;
}

void* ZEPTlist::RemoveHead() {
  CListNode* node = FirstLive();
  return node ? TakeData(node) : NULL;
}

void* ZEPTlist::RemoveTail() {
  CListNode* node = LastLive();
  return node ? TakeData(node) : NULL;
}

void* ZEPTlist::GetHead() const {
  CListNode* node = FirstLive();
  return node ? node->m_pData : NULL;
}

void* ZEPTlist::GetTail() const {
  CListNode* node = LastLive();
  return node ? node->m_pData : NULL;
}

void* ZEPTlist::GetFirst(SmartPtr<CListNode>* cursor) const {
  CListNode* node = FirstLive();
  cursor->Reset(node);
  return node ? node->m_pData : NULL;
}

void* ZEPTlist::GetNext(SmartPtr<CListNode>* cursor) const {
  CListNode* node = cursor->Get();
  if (node == NULL || node->m_pOwner != this) {
    cursor->Release();
    return NULL;
  }
  // The dead nodes passed over are held by other cursors, so nothing is
  // freed under the walk; the old node may be, once the new one is held.
  do {
    node = node->m_pNext;
  } while (node != NULL && node->m_pData == NULL);
  cursor->Reset(node);
  return node ? node->m_pData : NULL;
}

void* ZEPTlist::RemoveAtCursor(SmartPtr<CListNode>* cursor) {
  CListNode* node = cursor->Get();
  if (node == NULL || node->m_pOwner != this || node->m_pData == NULL) return NULL;
  return TakeData(node);
}

bool ZEPTlist::SearchNode(void* data) const {
  if (data == NULL) return false;
  for (CListNode* node = m_pHead; node != NULL; node = node->m_pNext)
    if (node->m_pData == data) return true;
  return false;
}

void* ZEPTlist::RemoveNode(void* data) {
  if (data == NULL) return NULL;
  for (CListNode* node = m_pHead; node != NULL; node = node->m_pNext)
    if (node->m_pData == data) return TakeData(node);
  return NULL;
}

int ZEPTlist::GetNodeCount() const {
  int n = 0;
  for (CListNode* node = m_pHead; node != NULL; node = node->m_pNext) ++n;
  return n;
}
