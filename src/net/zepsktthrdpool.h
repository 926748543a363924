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
// of ZEPSockThreadPool (a ZEPWorkerPool, threadpool.h), which waits in poll()
// on that socket and on a wake-up descriptor of its own, reads, builds a
// CTCPEvent from its sink's pool and routes it with ZEPSocketSink::EnqueueTCP
// (the frame implements the sink; this layer never includes the frame). That
// thread is the record's owner until the socket ends. It sleeps without a
// time-out until the socket is readable or it is woken: pause and resume,
// flow-control pause, priority changes, close pending (ClearNode, the sweep,
// engine stop) all write the owner's wake-up descriptor, so the owner acts at
// once. Paused, it waits on the wake-up descriptor alone; over its bandwidth,
// it waits for the next second or a wake-up. The pool grows by 5 threads
// whenever every thread is busy; threads end only in DestroyAllThread.
//
// SweepSockData expires records (time to die, start time-out of unstarted
// records) and returns when the next one falls due, so the frame's service
// loop sleeps until then; a record that gets an earlier deadline calls the
// sink's WakeSweep.
//
// Threads: any thread may call the engine; EnqueueTCP is called by the socket
// threads without the engine lock. The owner reads the record's flags as
// atomics; other threads write them under the engine lock and then wake it.
//
// Lock order: socket-map lock -> node-list lock -> queue lock -> engine lock
// -> record pool lock; g_LogMutex innermost. The pool's waiter lock is held
// only around a pool thread's wait, with its queue's lock inside it; the
// pool's count lock nests no other lock. A socket thread runs its socket with
// neither held.
//
// Destruction: the engine marks every started socket close pending and wakes
// its thread, joins all threads, then closes what is left. The sink that the
// engine routes to must outlive it.
#ifndef ZEP_NET_ZEPSKTTHRDPOOL_H
#define ZEP_NET_ZEPSKTTHRDPOOL_H

#include <cstdint>

#include "base/zepdeadlock.h"
#include "base/zepmultithread.h"
#include "base/zeptlist.h"
#include "events/events.h"
#include "events/eventsink.h"
#include "events/threadpool.h"
#include "net/zeptcp.h"

class ZEP_MTTcp : public ZEPTCP {
 public:
  ZEP_MTTcp() {}
  ~ZEP_MTTcp() override {}

  int AddSocket(TCPSocketData* pNode) override;
  virtual int SetStarted(int nSocket, bool bStart);
  virtual int ClearNode(int nSocket, bool bClose);
  virtual int GetTotalThread() { return 0; }
  virtual int GetUsedThread() { return 0; }
  // Milliseconds until the next record falls due, or -1 when none will: the
  // polling engine expires records in Select, so it has nothing to sweep.
  virtual int64_t SweepSockData() { return -1; }

  void Lock(const char* file = __builtin_FILE(), int line = __builtin_LINE())
      ACQUIRE(m_EngineLock) {
#ifdef ZEP_DEADLOCK_DETECT
    ZEPDLAcquire(m_EngineLock, file, line);
#else
    (void)file;
    (void)line;
    m_EngineLock.Acquire();
#endif
  }
  void Unlock() RELEASE(m_EngineLock) {
#ifdef ZEP_DEADLOCK_DETECT
    ZEPDLRelease(m_EngineLock);
#else
    m_EngineLock.Release();
#endif
  }
  Mutex& GetEngineLock() RETURN_CAPABILITY(m_EngineLock) { return m_EngineLock; }

 protected:
  Mutex m_EngineLock;
};

// Holds the engine lock for a scope.
class ZEPEngineGuard {
 public:
  explicit ZEPEngineGuard(ZEP_MTTcp* p, const char* file = __builtin_FILE(),
                          int line = __builtin_LINE())
      : m_p(p) {
    m_p->Lock(file, line);
  }
  ~ZEPEngineGuard() { m_p->Unlock(); }
  ZEPEngineGuard(const ZEPEngineGuard&) = delete;
  ZEPEngineGuard& operator=(const ZEPEngineGuard&) = delete;

 private:
  ZEP_MTTcp* m_p;
};

class ZEPThreadTCP;

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

  ZEPThreadTCP* GetEngine() const { return m_pEngine; }
  TCPSocketData* GetNode() const { return m_pNode; }

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

class ZEPThreadTCP : public ZEP_MTTcp {
 public:
  explicit ZEPThreadTCP(ZEPSocketSink* pSink);
  ~ZEPThreadTCP() override;

  // 0 started; 1 no record; 2 already started; 3 bStart false (nothing done).
  int SetStarted(int nSocket, bool bStart) override;
  // 0, or 1 without a record. A started record is only marked close pending;
  // its socket thread, woken at once, closes it.
  int ClearNode(int nSocket, bool bClose) override;
  int GetTotalThread() override { return m_Pool.GetThreadCount(); }
  int GetUsedThread() override { return m_Pool.GetBusyCount(); }
  int64_t SweepSockData() override;
  // Accepts that failed for want of a descriptor or of memory, since start.
  uint64_t GetAcceptFailures() const { return m_nAcceptFailures.load(); }

  // The socket loop of one pool thread.
  void ProcessPkt(TCPSocketData* pNode, Thread* pThread);
  // One accept or read, producing one event; the bytes counted.
  int Accept(TCPSocketData* pNode);
  // With bTry the read does not wait: -1 (and no event) when nothing is
  // there. Used while data keeps coming, to save a poll() per read.
  int RecvTCPData(TCPSocketData* pNode, bool bTry = false);
  int RecvUDPData(TCPSocketData* pNode, bool bTry = false);
  // The per-socket bandwidth window of the owning thread: waits for the next
  // second (or close pending) when the record's limit is reached. True when
  // it waited.
  bool IsOverload(TCPSocketData* pNode, int nBytes);

 protected:
  void DeadlineAdded(int64_t dueMs) override;

 private:
  // Hands the event to the sink; returns it to its pool when no node took it.
  void Dispatch(CTCPEvent* ev, int nSocket);
  CTCPEvent* NewEvent(TCPSocketData* pNode);
  // Waits on the owner's wake-up descriptor (bounded by `timeoutMs`, -1 for
  // none) and takes the wake-ups it finds.
  void WaitWake(TCPSocketData* pNode, int64_t timeoutMs);
  // Waits until the socket is readable (1), a wake-up came (0) or poll()
  // failed (-1).
  int WaitReadable(TCPSocketData* pNode);
  // Idles until the record may be read again or must close.
  void WaitWhilePaused(TCPSocketData* pNode);
  // Closes (when asked) and frees the record its thread owned.
  void FinishRecord(TCPSocketData* pNode);
  // One accept or read of the record's kind; the bytes counted, or -1 when
  // a non-waiting read found nothing.
  int ReadOnce(TCPSocketData* pNode, bool bTry);
  // The read or the error of one received buffer: the event is sent, or
  // returned unsent (-1) when a non-waiting read found nothing.
  int Finish(TCPSocketData* pNode, CTCPEvent* ev, ssize_t n, bool bTry);
  // An accept that failed with `error`: out of descriptors or memory, the
  // listener pauses (50 ms, doubling up to 1 s) instead of trying again at
  // once, and says so in the log once per shortage.
  void AcceptFailed(TCPSocketData* pNode, int error);

  ZEPSockThreadPool m_Pool;
  ZEPSocketSink* m_pSink;
  int64_t m_nSweepDueMs = INT64_MAX;  // engine lock: when the sweep plans to run next
  std::atomic<uint64_t> m_nAcceptFailures{0};
};

#endif  // ZEP_NET_ZEPSKTTHRDPOOL_H
