#include "events/threadpool.h"

#include "base/lockguard.h"
#include "base/zepassert.h"

// ---------------------------------------------------------------- the queue

CEvent* CThreadPoolMesgQ::WaitMsg() {
  ZEPLockGuard lock(m_WaiterLock);
  return CMessageQueue::WaitMsg();
}

CEvent* CThreadPoolMesgQ::WaitMsg(int type, int timeoutSec) {
  ZEPLockGuard lock(m_WaiterLock);
  return CMessageQueue::WaitMsg(type, timeoutSec);
}

// ---------------------------------------------------------------- the pool

ZEPWorkerPool::ZEPWorkerPool(int n) : m_nGrowth(n > 0 ? n : 1) { AddNewThreads(); }

ZEPWorkerPool::~ZEPWorkerPool() { DestroyAllThread(); }

void ZEPWorkerPool::AddNewThreads() {
  ZEPLockGuard lock(m_CountLock);
  AddNewThreadsLocked();
}

void ZEPWorkerPool::AddNewThreadsLocked() {
  if (m_bStopping) return;
  for (int i = 0; i < m_nGrowth; ++i) {
    Thread* t = new Thread;
    ThreadArg* arg = new ThreadArg{this, t};
    if (!t->Create(thread_proc, arg)) {
      delete arg;
      delete t;
      continue;
    }
    m_ThreadList.AddTail(t);
  }
}

void* ZEPWorkerPool::thread_proc(void* p) {
  ThreadArg* arg = static_cast<ThreadArg*>(p);
  ZEPWorkerPool* pool = arg->pPool;
  Thread* self = arg->pThread;
  for (;;) {
    CEvent* e = pool->m_Queue.WaitMsg();
    if (CQuitEvent::Narrow(e) != nullptr) {
      e->downcount();
      break;
    }
    if (CPoolWork* work = CPoolWork::Narrow(e)) {
      {
        ZEPLockGuard lock(pool->m_CountLock);
        // Keep one thread free for the next job: grow when all are busy.
        if (++pool->m_nBusy >= static_cast<int>(pool->m_ThreadList.GetCount()))
          pool->AddNewThreadsLocked();
      }
      work->RunWork(self);
      {
        ZEPLockGuard lock(pool->m_CountLock);
        --pool->m_nBusy;
      }
      // A job may have changed its thread's priority; the next one starts
      // at normal.
      if (self->GetPriority() != ZEP_PRIO_NORMAL) self->SetPriority(ZEP_PRIO_NORMAL);
    }
    e->downcount();  // the queue's reference; a node's work item lets go of its node
  }
  delete arg;
  return nullptr;
}

void ZEPWorkerPool::DestroyAllThread() {
  // No growth from here on: exactly one quit event reaches each listed
  // thread, and a thread still running a job takes its quit afterwards.
  ZEPList<Thread> threads;
  {
    ZEPLockGuard lock(m_CountLock);
    m_bStopping = true;
    while (Thread* t = m_ThreadList.RemoveHead()) threads.AddTail(t);
  }
  for (int i = threads.GetCount(); i > 0; --i) {
    SmartPtr<CQuitEvent> quit(new CQuitEvent);
    m_Queue.Enqueue(quit.Get(), true);
  }
  while (Thread* t = threads.RemoveHead()) {
    t->Wait();
    delete t;
  }
}

int ZEPWorkerPool::GetTotalThread() {
  ZEPLockGuard lock(m_CountLock);
  return m_ThreadList.GetCount();
}

int ZEPWorkerPool::GetUsedThread() {
  ZEPLockGuard lock(m_CountLock);
  return m_nBusy;
}

// ------------------------------------------------------------ node work items

CThreadEvent::~CThreadEvent() {}

void CThreadEvent::Init(bool full, CAppNode* node) {
  if (full) CEvent::Init(true);
  m_nEventType = ZEP_EVENT_POOLWORK;
  m_pPool = nullptr;
  m_Node = node;
}

CThreadEvent* CThreadEvent::Instance(Pool* pool, CAppNode* node) {
  if (pool == nullptr) return nullptr;
  CThreadEvent* pReturn = ZEPEventFromPool<CThreadEvent>(pool);
  ZEP_ASSERT(NULL != pReturn);
  pReturn->Init(true, node);
  pReturn->m_pPool = pool;
  return pReturn;
}

void CThreadEvent::DestroyMe() {
  // A pooled slot must not keep its node alive until the slot is reused.
  m_Node.Release();
  ZEPEventRelease(this, m_pPool);
}

void CThreadEvent::RunWork(Thread* self) {
  if (CAppNode* node = GetNode()) {
    node->SetThreadPtr(self);
    node->Run();
  }
}
