// zepsktthrdpool.h — the multi-threaded socket engines and the socket-thread
// pool.
//
// ZEP_MTTcp is ZEPTCP plus the engine lock, the one Mutex that guards the
// socket list and every record change made outside a record's owning socket
// thread. The frame takes it (Lock/Unlock or ZEPEngineGuard) around Select and
// its per-socket calls; AddSocket, SetStarted and ClearNode take it
// themselves. The frame polls a plain ZEP_MTTcp through Select.
//
// ZEPThreadTCP reads on threads: every started socket is handed to one thread
// of ZEPSockThreadPool, which waits on that socket alone (poll, 1000 ms),
// reads, builds a CTCPEvent from the frame's pool and routes it with
// ZEPFrame::EnqueueTCP. That thread is the record's owner until the socket
// ends: it idles while the record is paused or flow-control paused, and it
// closes and frees the record once close pending is set (by ClearNode or by
// the 500 ms sweep when the record's time to die has passed). The pool grows
// by 5 threads whenever every thread is busy; threads end only in
// DestroyAllThread.
//
// Threads: any thread may call the engine; EnqueueTCP is called by the socket
// threads without the engine lock. The owner reads the record's flags as
// atomics; other threads write them under the engine lock and wake the owner
// through the record's waiter (a leaf lock inside the engine lock).
//
// Lock order: socket-map lock -> node-list lock -> queue lock -> engine lock
// -> record pool lock / record waiter; g_LogMutex innermost. The pool's
// waiter lock and count lock are never held with another lock.
//
// Destruction: the engine marks every started socket close pending so that
// their threads finish, joins all threads, then closes what is left. The
// frame that the engine routes to must outlive it.
#ifndef ZEP_NET_ZEPSKTTHRDPOOL_H
#define ZEP_NET_ZEPSKTTHRDPOOL_H

#include <atomic>

#include "base/zepmultithread.h"
#include "base/zeptlist.h"
#include "frame/events.h"
#include "frame/messageq.h"
#include "net/zeptcp.h"

class ZEPFrame;
class CTCPEvent;

class ZEP_MTTcp : public ZEPTCP {
 public:
  ZEP_MTTcp() {}
  ~ZEP_MTTcp() override {}

  int AddSocket(TCPSocketData* pNode) override;
  virtual int SetStarted(int nSocket, bool bStart);
  virtual int ClearNode(int nSocket, bool bClose);
  virtual int GetTotalThread() { return 0; }
  virtual int GetUsedThread() { return 0; }
  virtual void SweepSockData() {}

  void Lock() { m_EngineLock.Acquire(); }
  void Unlock() { m_EngineLock.Release(); }
  Mutex& GetEngineLock() { return m_EngineLock; }

 protected:
  Mutex m_EngineLock;
};

// Holds the engine lock for a scope.
class ZEPEngineGuard {
 public:
  explicit ZEPEngineGuard(ZEP_MTTcp* p) : m_p(p) { m_p->Lock(); }
  ~ZEPEngineGuard() { m_p->Unlock(); }
  ZEPEngineGuard(const ZEPEngineGuard&) = delete;
  ZEPEngineGuard& operator=(const ZEPEngineGuard&) = delete;

 private:
  ZEP_MTTcp* m_p;
};

class ZEPThreadTCP;

// Work item of the socket-thread pool: run this socket of this engine.
class CSockThreadEvent : public CEvent {
 public:
  typedef ZEPMTFixMem<CSockThreadEvent, 100, 10, 10> Pool;
  CSockThreadEvent() : CSockThreadEvent(NULL, NULL) {}
  CSockThreadEvent(ZEPThreadTCP* pEngine, TCPSocketData* pNode);
  static CSockThreadEvent* Instance(Pool* pool, ZEPThreadTCP* pEngine, TCPSocketData* pNode);
  static CSockThreadEvent* Narrow(CEvent* ev) {
    return ZEPEventNarrow<CSockThreadEvent>(ev, ZEP_EVENT_POOLWORK);
  }
  void DestroyMe() override { ZEPEventRelease(this, m_pPool); }

  ZEPThreadTCP* GetEngine() const { return m_pEngine; }
  TCPSocketData* GetNode() const { return m_pNode; }

 private:
  Pool* m_pPool = nullptr;
  ZEPThreadTCP* m_pEngine;
  TCPSocketData* m_pNode;
};

class ZEPSockThreadPool {
 public:
  explicit ZEPSockThreadPool(int n);
  ~ZEPSockThreadPool();
  ZEPSockThreadPool(const ZEPSockThreadPool&) = delete;
  ZEPSockThreadPool& operator=(const ZEPSockThreadPool&) = delete;

  void AddNewThreads();
  // Into the pool's queue; the queue takes its own reference.
  void Enqueue(CEvent* ev, bool bTail);
  void DestroyAllThread();

  int GetThreadCount();
  int GetBusyCount();

 private:
  struct ThreadArg {
    ZEPSockThreadPool* pPool;
    Thread* pThread;
  };
  // One waiter at a time on the queue.
  struct CSockThreadPoolMesgQ {
    CMessageQueue m_Queue;
    Mutex m_WaitLock;
    CEvent* WaitMsg();
  };
  static void* thread_proc(void* arg);

  ZEPList<Thread> m_ThreadList;  // count lock
  CSockThreadPoolMesgQ m_Queue;
  int m_nGrowth;
  int m_nBusy;  // count lock
  Mutex m_CountLock;
};

class ZEPThreadTCP : public ZEP_MTTcp {
 public:
  explicit ZEPThreadTCP(ZEPFrame* pFrame);
  ~ZEPThreadTCP() override;

  // 0 started; 1 no record; 2 already started; 3 bStart false (nothing done).
  int SetStarted(int nSocket, bool bStart) override;
  // 0, or 1 without a record. A started record is only marked close pending;
  // its socket thread closes it within about a second.
  int ClearNode(int nSocket, bool bClose) override;
  int GetTotalThread() override { return m_Pool.GetThreadCount(); }
  int GetUsedThread() override { return m_Pool.GetBusyCount(); }
  void SweepSockData() override;

  // The socket loop of one pool thread.
  void ProcessPkt(TCPSocketData* pNode, Thread* pThread);
  // One accept or read, producing one event; the bytes counted.
  int Accept(TCPSocketData* pNode);
  // With bTry the read does not wait: -1 (and no event) when nothing is
  // there. Used while data keeps coming, to save a poll() per read.
  int RecvTCPData(TCPSocketData* pNode, bool bTry = false);
  int RecvUDPData(TCPSocketData* pNode, bool bTry = false);
  // The per-socket bandwidth window of the owning thread: waits for the next
  // second when the record's limit is reached. True when it waited.
  bool IsOverload(TCPSocketData* pNode, int nBytes);

 private:
  // Hands the event to the frame; returns it to its pool when no node took it.
  void Dispatch(CTCPEvent* ev, int nSocket);
  CTCPEvent* NewEvent(TCPSocketData* pNode);
  // Idles (bounded waits) until the record may be read again or must close.
  void WaitWhilePaused(TCPSocketData* pNode);
  // Closes (when asked) and frees the record its thread owned.
  void FinishRecord(TCPSocketData* pNode);
  // One accept or read of the record's kind; the bytes counted, or -1 when
  // a non-waiting read found nothing.
  int ReadOnce(TCPSocketData* pNode, bool bTry);
  // The read or the error of one received buffer: the event is sent, or
  // returned unsent (-1) when a non-waiting read found nothing.
  int Finish(TCPSocketData* pNode, CTCPEvent* ev, ssize_t n, bool bTry);

  ZEPSockThreadPool m_Pool;
  ZEPFrame* m_pFrame;
};

#endif  // ZEP_NET_ZEPSKTTHRDPOOL_H
