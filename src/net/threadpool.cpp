#include "net/threadpool.h"

#include "base/zepassert.h"
#include "frame/appnode.h"
#include "frame/lockguard.h"

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

CEvent* CThreadPoolMesgQ::WaitMsg() {
  ZEPLockGuard lock(m_WaiterLock);
  return CMessageQueue::WaitMsg();
}

CEvent* CThreadPoolMesgQ::WaitMsg(int type, int timeoutSec) {
  ZEPLockGuard lock(m_WaiterLock);
  return CMessageQueue::WaitMsg(type, timeoutSec);
}

CThreadPool::CThreadPool(int n) : m_nGrowth(n > 0 ? n : 1) {
  ZEPLockGuard lock(m_CountLock);
  AddNewThreads();
}

CThreadPool::~CThreadPool() { DestroyAllThread(); }

// Count lock held.
void CThreadPool::AddNewThreads() {
  if (m_bStopping.load()) return;
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

void* CThreadPool::thread_proc(void* p) {
  ThreadArg* arg = static_cast<ThreadArg*>(p);
  CThreadPool* pool = arg->pPool;
  Thread* self = arg->pThread;
  for (;;) {
    CEvent* e = pool->m_Queue.WaitMsg();
    if (CQuitEvent::Narrow(e) != nullptr) {
      e->downcount();
      break;
    }
    if (CThreadEvent* work = CThreadEvent::Narrow(e)) {
      {
        ZEPLockGuard lock(pool->m_CountLock);
        // Keep one thread free for the next node: grow when all are busy.
        if (++pool->m_nBusy >= pool->m_ThreadList.GetCount()) pool->AddNewThreads();
      }
      if (CAppNode* node = work->GetNode()) {
        node->SetThreadPtr(self);
        node->Run();
      }
      {
        ZEPLockGuard lock(pool->m_CountLock);
        --pool->m_nBusy;
      }
      // A node may have changed its thread's priority; the next one starts
      // at normal.
      if (self->GetPriority() != 2) self->SetPriority(2);
    }
    e->downcount();  // the queue's reference; a work item also lets go of its node
  }
  delete arg;
  return nullptr;
}

void CThreadPool::DestroyAllThread() {
  // No growth from here on: exactly one quit event reaches each listed
  // thread, and a thread still running a node takes its quit afterwards.
  m_bStopping.store(true);
  ZEPList<Thread> threads;
  {
    ZEPLockGuard lock(m_CountLock);
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

int CThreadPool::GetTotalThread() {
  ZEPLockGuard lock(m_CountLock);
  return m_ThreadList.GetCount();
}

int CThreadPool::GetUsedThread() {
  ZEPLockGuard lock(m_CountLock);
  return m_nBusy;
}
