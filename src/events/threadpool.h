// threadpool.h — ZEPWorkerPool, the one worker pool of the framework, and its
// two uses: CThreadPool runs application nodes, ZEPSockThreadPool
// (zepsktthrdpool.h) runs started sockets.
//
// Owns: its Thread objects (never retired before DestroyAllThread) and the
// work items in its queue. A work item (CPoolWork, type code 0x50) says what
// a pool thread runs: CThreadEvent holds a reference on the node it carries,
// so a node stays alive while it waits in the queue and while a worker runs
// it; dropping the item's last reference may end the node.
//
// Growth: the pool starts with the growth step (5) threads and adds as many
// whenever every thread is busy, so one is always free for the next job.
// Shutdown: DestroyAllThread stops growth first (under the count lock), then
// sends one quit event per listed thread and joins them; a thread still
// running a job takes its quit afterwards, and no thread can be added behind
// the joiner's back.
//
// Threads: any thread may Enqueue. The pool's own threads take turns waiting
// on the queue (one waiter at a time, the waiter lock) and each runs its job
// to the end. DestroyAllThread and the destructor run on the thread that owns
// the pool and wait for every job to end.
//
// Locks: the waiter lock is held only around the wait (the queue's receive
// and flow locks, and g_LogMutex for the queues' waiting lines, are taken
// inside it); the count lock guards the thread list, the busy count and
// the stop flag (checked by clang's thread-safety analysis) and nests no other lock. Neither is
// held while a job runs.
#ifndef ZEP_EVENTS_THREADPOOL_H
#define ZEP_EVENTS_THREADPOOL_H

#include "base/zepconst.h"
#include "base/zepfixmem.h"
#include "base/zepmultithread.h"
#include "base/zepthreadsafety.h"
#include "base/zeptlist.h"
#include "events/appnode.h"
#include "events/events.h"
#include "events/messageq.h"

// A job of a worker pool.
class CPoolWork : public CEvent {
 public:
  CPoolWork() { m_nEventType = ZEP_EVENT_POOLWORK; }
  // Runs the job on pool thread `self`; returns when the job has ended.
  virtual void RunWork(Thread* self) = 0;
  static CPoolWork* Narrow(CEvent* ev) { return ZEPEventNarrow<CPoolWork>(ev, ZEP_EVENT_POOLWORK); }
};

// The pool's queue: one thread at a time may wait on it.
class CThreadPoolMesgQ : public CMessageQueue {
 public:
  CEvent* WaitMsg();
  CEvent* WaitMsg(int type, int timeoutSec);

 private:
  Mutex m_WaiterLock;
};

class ZEPWorkerPool {
 public:
  explicit ZEPWorkerPool(int n);
  virtual ~ZEPWorkerPool();
  ZEPWorkerPool(const ZEPWorkerPool&) = delete;
  ZEPWorkerPool& operator=(const ZEPWorkerPool&) = delete;

  // Adds growth-step threads; nothing once DestroyAllThread has begun.
  void AddNewThreads();
  // Into the pool's queue; the queue takes its own reference.
  void Enqueue(CEvent* e, bool tail) { m_Queue.Enqueue(e, tail); }
  void DestroyAllThread();

  int GetTotalThread();
  int GetUsedThread();

 private:
  struct ThreadArg {
    ZEPWorkerPool* pPool;
    Thread* pThread;
  };
  static void* thread_proc(void* arg);
  void AddNewThreadsLocked() REQUIRES(m_CountLock);

  ZEPList<Thread> m_ThreadList GUARDED_BY(m_CountLock);
  CThreadPoolMesgQ m_Queue;
  int m_nGrowth;
  int m_nBusy GUARDED_BY(m_CountLock) = 0;
  Mutex m_CountLock;
  bool m_bStopping GUARDED_BY(m_CountLock) = false;
};

// A work item: run this node's service loop on a pool thread.
class CThreadEvent : public CPoolWork {
 public:
  typedef ZEPMTFixMem<CThreadEvent, 100, 10, 10> Pool;
  CThreadEvent() { Init(false, nullptr); }
  explicit CThreadEvent(CAppNode* node) { Init(false, node); }
  ~CThreadEvent() override;
  void Init(bool full, CAppNode* node);
  static CThreadEvent* Instance(Pool* pool, CAppNode* node);
  // No Narrow: every pool job shares the type code, so only CPoolWork::Narrow
  // is exact; a job is run through its RunWork.
  void DestroyMe() override;
  void RunWork(Thread* self) override;

  CAppNode* GetNode() const { return m_Node.Get(); }

 private:
  Pool* m_pPool = nullptr;
  SmartPtr<CAppNode> m_Node;
};

// The node workers: a worker pool whose jobs are CThreadEvents.
class CThreadPool : public ZEPWorkerPool {
 public:
  explicit CThreadPool(int n) : ZEPWorkerPool(n) {}
};

#endif  // ZEP_EVENTS_THREADPOOL_H
