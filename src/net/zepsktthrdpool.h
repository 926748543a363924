// zepsktthrdpool.h — ZEPSockThreadPool, the threads that run started
// sockets.
//
// ZEPSockThreadPool is a ZEPWorkerPool (events/threadpool.h): it starts with
// 5 threads and grows by 5 whenever every thread is busy; threads end only in
// DestroyAllThread. It knows no engine: a socket engine (ZEPThreadTCP,
// zepthreadtcp.h) enqueues its own work items (CPoolWork), and a thread that
// takes one runs it (for a socket: until the socket ends), then returns to
// the pool.
//
// Threads: any thread may enqueue work; the pool's own threads run it.
// Locks: those of ZEPWorkerPool: its waiter lock only around a thread's wait,
// with its queue's lock inside it; its count lock nests no other lock. A
// thread runs its work with neither held.
#ifndef ZEP_NET_ZEPSKTTHRDPOOL_H
#define ZEP_NET_ZEPSKTTHRDPOOL_H

#include "events/threadpool.h"

// The socket threads: a worker pool whose jobs run one socket each.
class ZEPSockThreadPool : public ZEPWorkerPool {
 public:
  explicit ZEPSockThreadPool(int n) : ZEPWorkerPool(n) {}
  int GetThreadCount() { return GetTotalThread(); }
  int GetBusyCount() { return GetUsedThread(); }
};

#endif  // ZEP_NET_ZEPSKTTHRDPOOL_H
