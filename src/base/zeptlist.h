// zeptlist.h — intrusive reference counting and cursor-safe linked lists.
//
// RefCount is the base of every shared object (pools, lists, list nodes,
// events, nodes). upcount(), downcount() and GetRefCount() are thread-safe
// (the counter is atomic); the DestroyMe() that downcount() runs when the
// count reaches exactly 0 is not guarded by anything, so whoever may drop the
// last reference must be allowed to destroy the object on its thread.
//
// ZEPTlist is a doubly linked list of void* elements whose nodes (CListNode)
// are themselves counted: the list holds one reference on each node with an
// element, every cursor (SmartPtr<CListNode>) one more. Removing an element
// only clears its node's data and drops the list's reference; a node still
// under a cursor stays linked, is skipped by every traversal, and is unlinked
// by whoever drops its last reference. So no removal ever invalidates a
// cursor. A cursor may outlive its list: the list's destructor detaches the
// nodes that cursors still hold, and they are freed when those cursors move.
//
// ZEPList<T> is the typed list; it owns its elements and deletes those still
// in it when it is destroyed.
//
// Threads: lists, nodes and SmartPtr objects take no lock. A list shared
// between threads, with its cursors, is guarded by its owner's mutex.
#ifndef ZEP_BASE_ZEPTLIST_H
#define ZEP_BASE_ZEPTLIST_H

#include <atomic>
#include <cstddef>
#include <cstdint>

template <class T, unsigned N, unsigned I, unsigned G>
class ZEPFixMem;

class RefCount {
 public:
  RefCount() : m_nRefCount(0) {}
  // A copy is a new object: it starts without references and an assignment
  // leaves the count of its target alone.
  RefCount(const RefCount&) : m_nRefCount(0) {}
  RefCount& operator=(const RefCount&) { return *this; }

  // Returns the object to wherever it came from (delete, or back to a pool).
  virtual void DestroyMe() = 0;
  virtual ~RefCount() {}
  virtual void upcount() { m_nRefCount.fetch_add(1, std::memory_order_relaxed); }
  // Only the drop to exactly 0 destroys; the acquire-release order makes
  // every other holder's writes visible to the thread that destroys.
  virtual void downcount() {
    if (m_nRefCount.fetch_sub(1, std::memory_order_acq_rel) == 1) DestroyMe();
  }

  int32_t GetRefCount() const { return m_nRefCount.load(std::memory_order_acquire); }
  // For objects recycled from a pool, which start over without references.
  void SetRefCount(int32_t n) { m_nRefCount.store(n, std::memory_order_release); }

 private:
  std::atomic<int32_t> m_nRefCount;
};

// Holder of one pointer to a counted object. With counting on (the default)
// it holds one reference on what it points at; with counting off it only
// stores the pointer, so it can take over a reference that someone else
// took (the node's current event does this). Changing the flag does not
// touch the reference of the object currently held.
template <class T>
class SmartPtr {
 public:
  SmartPtr() : m_p(NULL), m_bCounting(true) {}
  explicit SmartPtr(T* p, bool counting = true) : m_p(p), m_bCounting(counting) {
    if (m_p && m_bCounting) m_p->upcount();
  }
  // A copy always counts.
  SmartPtr(const SmartPtr& other) : m_p(other.m_p), m_bCounting(true) {
    if (m_p) m_p->upcount();
  }
  SmartPtr& operator=(const SmartPtr& other) {
    Reset(other.m_p);
    return *this;
  }
  SmartPtr& operator=(T* p) {
    Reset(p);
    return *this;
  }
  ~SmartPtr() { Reset(NULL); }

  // Points at p: takes the new reference before dropping the old one, so
  // resetting to the object already held keeps it alive.
  void Reset(T* p) {
    if (p == m_p) return;
    if (p && m_bCounting) p->upcount();
    T* old = m_p;
    m_p = p;
    if (old && m_bCounting) old->downcount();
  }
  void Release() { Reset(NULL); }
  // Empties the holder without dropping anything: the caller takes over the
  // reference it held (if it counts).
  T* Detach() {
    T* p = m_p;
    m_p = NULL;
    return p;
  }

  bool IsCounting() const { return m_bCounting; }
  void SetCounting(bool counting) { m_bCounting = counting; }

  T* Get() const { return m_p; }
  T* operator->() const { return m_p; }
  T& operator*() const { return *m_p; }
  bool IsNull() const { return m_p == NULL; }
  explicit operator bool() const { return m_p != NULL; }

 private:
  T* m_p;
  bool m_bCounting;
};

class ZEPTlist;

class CListNode : public RefCount {
 public:
  typedef ZEPFixMem<CListNode, 100, 10, 10> Pool;

  CListNode() : m_pPool(NULL), m_pOwner(NULL), m_pNext(NULL), m_pPrev(NULL), m_pData(NULL) {}

  // Pooled path: a node from pool, reset for list, with count 1; NULL when
  // the pool has no memory. The node keeps the pool alive until it returns.
  static CListNode* Instance(Pool* pool, ZEPTlist* list);
  // Heap path: links and data cleared, owner := list, no pool; with reset
  // the count starts over at 0.
  void Init(bool reset, ZEPTlist* list);

  // Last reference gone: the data must already be cleared. Unlinks the node
  // from its list (if it still has one) and returns it to its pool or heap.
  void DestroyMe() override;

  void* GetData() const { return m_pData; }
  ZEPTlist* GetOwner() const { return m_pOwner; }

 private:
  friend class ZEPTlist;
  Pool* m_pPool;
  ZEPTlist* m_pOwner;
  CListNode* m_pNext;
  CListNode* m_pPrev;
  void* m_pData;
};

class ZEPTlist : public RefCount {
 public:
  ZEPTlist();
  // Detaches every node; the elements are not touched.
  ~ZEPTlist() override;
  ZEPTlist(const ZEPTlist&) = delete;
  ZEPTlist& operator=(const ZEPTlist&) = delete;

  void DestroyMe() override { delete this; }

  // New nodes come from the list's own node pool when on, else from the
  // heap (the default). Nodes made either way may be mixed in one list.
  void SetUsePool(bool usePool) { m_bUsePool = usePool; }
  bool IsUsePool() const { return m_bUsePool; }

  // A node with no neighbours and no data, owner := this list, count 1.
  CListNode* AllocNode();

  // 0, or -1 for NULL data (a node without data would count as removed).
  int AddHead(void* data) { return Add(data, true); }
  int AddTail(void* data) { return Add(data, false); }
  // First (last) element, taken out of the list; NULL when there is none.
  void* RemoveHead();
  void* RemoveTail();
  void* GetHead() const;
  void* GetTail() const;

  // Cursor walks: the cursor lands on the node of the element returned and
  // holds it; at the end it is empty and NULL is returned. A cursor not on a
  // node of this list yields NULL and is emptied.
  void* GetFirst(SmartPtr<CListNode>* cursor) const;
  void* GetNext(SmartPtr<CListNode>* cursor) const;
  // Takes out the element under the cursor; the cursor stays, so GetNext
  // continues after it. NULL (and nothing changed) when the cursor is empty,
  // on another list, or on an element already taken out.
  void* RemoveAtCursor(SmartPtr<CListNode>* cursor);

  bool SearchNode(void* data) const;
  // Takes out the first node holding data; data, or NULL when absent or NULL.
  void* RemoveNode(void* data);

  // Number of elements in the list (removed ones still under a cursor are
  // not counted).
  int GetCount() const { return m_nCount; }
  // Nodes in the chain, removed elements still under a cursor included.
  int GetNodeCount() const;

 private:
  friend class CListNode;
  int Add(void* data, bool atHead);
  void Unlink(CListNode* node);
  void* TakeData(CListNode* node);
  CListNode* FirstLive() const;
  CListNode* LastLive() const;

  CListNode* m_pHead;
  CListNode* m_pTail;
  int m_nCount;
  CListNode::Pool* m_pNodePool;  // made on first pooled allocation
  bool m_bUsePool;
};

template <class T>
class ZEPList : public ZEPTlist {
 public:
  ZEPList() {}
  // Deletes every element still in the list.
  ~ZEPList() override {
    while (T* p = RemoveHead()) delete p;
  }
  void DestroyMe() override { delete this; }

  int AddHead(T* data) { return ZEPTlist::AddHead(data); }
  int AddTail(T* data) { return ZEPTlist::AddTail(data); }
  T* RemoveHead() { return static_cast<T*>(ZEPTlist::RemoveHead()); }
  T* RemoveTail() { return static_cast<T*>(ZEPTlist::RemoveTail()); }
  T* GetHead() const { return static_cast<T*>(ZEPTlist::GetHead()); }
  T* GetTail() const { return static_cast<T*>(ZEPTlist::GetTail()); }
  T* GetFirst(SmartPtr<CListNode>* cursor) const {
    return static_cast<T*>(ZEPTlist::GetFirst(cursor));
  }
  T* GetNext(SmartPtr<CListNode>* cursor) const {
    return static_cast<T*>(ZEPTlist::GetNext(cursor));
  }
  T* RemoveAtCursor(SmartPtr<CListNode>* cursor) {
    return static_cast<T*>(ZEPTlist::RemoveAtCursor(cursor));
  }
  bool SearchNode(T* data) const { return ZEPTlist::SearchNode(data); }
  T* RemoveNode(T* data) { return static_cast<T*>(ZEPTlist::RemoveNode(data)); }
};

#endif  // ZEP_BASE_ZEPTLIST_H
