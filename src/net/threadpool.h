// threadpool.h — CThreadPool, the worker threads that run application nodes.
//
// Owns: its Thread objects (never retired before DestroyAllThread) and the
// work items in its queue. A CThreadEvent holds a reference on the node it
// carries, so a node stays alive while it waits in the queue and while a
// worker runs it.
//
// Threads: any thread may Enqueue. The pool's own threads take turns waiting
// on the queue (one waiter at a time, the waiter lock) and each runs one
// node's svc() to its end. DestroyAllThread and the destructor run on the
// thread that owns the pool (the frame's) and wait for every node run to end.
//
// Locks: waiter lock (held only around the wait; no other lock inside it but
// the queue's) and the count lock (busy count and growth; may take the
// thread-list work of AddNewThreads, nothing else). Neither is held while a
// node runs.
#ifndef ZEP_NET_THREADPOOL_H
#define ZEP_NET_THREADPOOL_H

#include <atomic>

#include "base/zepfixmem.h"
#include "base/zepmultithread.h"
#include "base/zeptlist.h"
#include "frame/events.h"
#include "frame/messageq.h"

class CAppNode;

// A work item: run this node's service loop on a pool thread.
class CThreadEvent : public CEvent {
 public:
  typedef ZEPMTFixMem<CThreadEvent, 100, 10, 10> Pool;
  CThreadEvent() { Init(false, nullptr); }
  explicit CThreadEvent(CAppNode* node) { Init(false, node); }
  ~CThreadEvent() override;
  void Init(bool full, CAppNode* node);
  static CThreadEvent* Instance(Pool* pool, CAppNode* node);
  static CThreadEvent* Narrow(CEvent* ev) {
    return ZEPEventNarrow<CThreadEvent>(ev, ZEP_EVENT_POOLWORK);
  }
  void DestroyMe() override;

  CAppNode* GetNode() const { return m_Node.Get(); }

 private:
  Pool* m_pPool = nullptr;
  SmartPtr<CAppNode> m_Node;
};

// The pool's queue: one thread at a time may wait on it.
class CThreadPoolMesgQ : public CMessageQueue {
 public:
  CEvent* WaitMsg();
  CEvent* WaitMsg(int type, int timeoutSec);

 private:
  Mutex m_WaiterLock;
};

class CThreadPool {
 public:
  explicit CThreadPool(int n);
  ~CThreadPool();
  CThreadPool(const CThreadPool&) = delete;
  CThreadPool& operator=(const CThreadPool&) = delete;

  void AddNewThreads();
  void Enqueue(CEvent* e, bool tail) { m_Queue.Enqueue(e, tail); }
  void DestroyAllThread();

  int GetTotalThread();
  int GetUsedThread();

 private:
  struct ThreadArg {
    CThreadPool* pPool;
    Thread* pThread;
  };
  static void* thread_proc(void* arg);

  ZEPList<Thread> m_ThreadList;  // count lock
  CThreadPoolMesgQ m_Queue;
  int m_nGrowth;
  int m_nBusy = 0;  // count lock
  Mutex m_CountLock;
  std::atomic<bool> m_bStopping{false};
};

#endif  // ZEP_NET_THREADPOOL_H
