// zepsktthrdpool.h — the socket-thread pool: ZEPSockThreadPool, the threads
// that run started sockets, and CSockThreadEvent, the work item that hands
// one socket of a ZEPThreadTCP engine (zepthreadtcp.h) to one of them.
//
// ZEPSockThreadPool is a ZEPWorkerPool (events/threadpool.h): it starts with
// 5 threads and grows by 5 whenever every thread is busy; threads end only in
// DestroyAllThread. A thread that takes a CSockThreadEvent runs the engine's
// ProcessPkt for that socket until the socket ends, then returns to the pool.
//
// Threads: any thread may enqueue work; the pool's own threads run it.
// Locks: those of ZEPWorkerPool: its waiter lock only around a thread's wait,
// with its queue's lock inside it; its count lock nests no other lock. A
// thread runs its socket with neither held. CSockThreadEvent's pool-based
// form takes its event pool's lock in Instance (DestroyMe returns the event
// without it).
#ifndef ZEP_NET_ZEPSKTTHRDPOOL_H
#define ZEP_NET_ZEPSKTTHRDPOOL_H

#include "base/zepfixmem.h"
#include "events/events.h"
#include "events/threadpool.h"

class ZEPThreadTCP;
struct TCPSocketData;

// Work item of the socket-thread pool: run this socket of this engine.
class CSockThreadEvent : public CPoolWork {
 public:
  typedef ZEPMTFixMem<CSockThreadEvent, 100, 10, 10> Pool;
  CSockThreadEvent() : CSockThreadEvent(nullptr, nullptr) {}
  CSockThreadEvent(ZEPThreadTCP* pEngine, TCPSocketData* pNode);
  static CSockThreadEvent* Instance(Pool* pool, ZEPThreadTCP* pEngine, TCPSocketData* pNode);
  static CSockThreadEvent* Narrow(CEvent* ev) {
    return ZEPEventNarrow<CSockThreadEvent>(ev, ZEP_EVENT_POOLWORK);
  }
  void DestroyMe() override { ZEPEventRelease(this, m_pPool); }
  void RunWork(Thread* self) override;

 private:
  Pool* m_pPool = nullptr;
  ZEPThreadTCP* m_pEngine;
  TCPSocketData* m_pNode;
};

// The socket threads: a worker pool whose jobs are CSockThreadEvents.
class ZEPSockThreadPool : public ZEPWorkerPool {
 public:
  explicit ZEPSockThreadPool(int n) : ZEPWorkerPool(n) {}
  int GetThreadCount() { return GetTotalThread(); }
  int GetBusyCount() { return GetUsedThread(); }
};

#endif  // ZEP_NET_ZEPSKTTHRDPOOL_H
