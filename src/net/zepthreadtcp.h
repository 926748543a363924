// zepthreadtcp.h — ZEPThreadTCP, the socket engine that reads on threads.
//
// ZEPThreadTCP is ZEP_MTTcp (zepmttcp.h) whose sockets are read by the
// socket-thread pool (ZEPSockThreadPool, zepsktthrdpool.h): every started
// socket is handed to one pool thread, which waits in poll() on that socket
// and on a wake-up descriptor of its own, reads, builds a CTCPEvent from its
// sink's pool and routes it with ZEPSocketSink::EnqueueTCP (the frame
// implements the sink; this layer never includes the frame), or hands it to
// the record's route when the layer above gave it one (ZEPSocketRoute,
// zeptcp.h: no look-up of the socket per read). That thread is
// the record's owner until the socket ends. It sleeps without a time-out
// until the socket is readable or it is woken: pause and resume, flow-control
// pause, priority changes, close pending (ClearNode, the sweep, engine stop)
// all wake the owner (ZEPTCP::WakeOwnerLocked), so the owner acts at once:
// the wake-up descriptor is written only while the owner sleeps on it (an
// owner that is reading sees the flags when it next looks), and each write
// is counted (GetWakeups). The work item that hands a socket to the pool
// (CSockThreadEvent) is the engine's own; the pool only runs it.
// Paused, it waits on the wake-up descriptor alone; over its bandwidth (its
// ZEPByteBudget, on the monotonic clock) it waits there for the rest of the
// second, cut short by close pending.
//
// SweepSockData expires records (time to die, start time-out of unstarted
// records) and returns when the next one falls due, so the frame's service
// loop sleeps until then; a record that gets an earlier deadline calls the
// sink's WakeSweep.
//
// Threads: any thread may call the engine; EnqueueTCP and the routes'
// Deliver are called by the socket threads without the engine lock. The owner reads the record's
// flags as atomics; other threads write them under the engine lock and then wake it.
//
// Locks: SetStarted, ClearNode, SweepSockData and the owner's own changes
// (pausing after a failed read or one packet, the black-list check of an
// accept, finishing the record) take the engine lock, with the record pool's
// lock inside it when a record is freed; g_LogMutex innermost. SetStarted
// hands the socket to the pool after leaving the engine lock, so the pool's
// queue lock never nests inside it; before that it looks for a free pool
// thread under the pool's count lock (a leaf), growing the pool when none is. A socket thread reads
// and waits with no lock held, and hands events on with no engine lock held (a route, or the sink,
// takes the locks its own contract names).
//
// Destruction: the engine marks every started socket close pending and wakes
// its thread, joins all threads, then closes what is left. The sink that the
// engine routes to must outlive it.
#ifndef ZEP_NET_ZEPTHREADTCP_H
#define ZEP_NET_ZEPTHREADTCP_H

#include <sys/types.h>

#include <atomic>
#include <cstdint>

#include "base/zepfixmem.h"
#include "base/zepmultithread.h"
#include "base/zepthreadsafety.h"
#include "events/events.h"
#include "events/eventsink.h"
#include "events/threadpool.h"
#include "net/zepmttcp.h"
#include "net/zepsktthrdpool.h"

class ZEPThreadTCP : public ZEP_MTTcp {
 public:
  explicit ZEPThreadTCP(ZEPSocketSink* pSink);
  ~ZEPThreadTCP() override;

  // 0 started; 1 no record; 2 already started; 3 bStart false (nothing done).
  int SetStarted(int nSocket, bool bStart) override EXCLUDES(m_EngineLock);
  // 0, or 1 without a record. A started record is only marked close pending;
  // its socket thread, woken at once, closes it.
  int ClearNode(int nSocket, bool bClose) override EXCLUDES(m_EngineLock);
  int GetTotalThread() override { return m_Pool.GetThreadCount(); }
  int GetUsedThread() override { return m_Pool.GetBusyCount(); }
  int64_t SweepSockData() override EXCLUDES(m_EngineLock);
  // Accepts that failed for want of a descriptor or of memory, since start.
  uint64_t GetAcceptFailures() const { return m_nAcceptFailures.load(); }
  // Socket threads woken because a flag of their socket changed while they
  // slept (a thread that is reading finds the change without one).
  uint64_t GetWakeups() const { return GetOwnerWakeups(); }
  // Whether the last started socket found no pool thread and none could be
  // started.
  bool IsShortOfThreads() const { return m_ThreadShortage.IsShort(); }

  // The socket loop of one pool thread (the record's owner).
  void ProcessPkt(TCPSocketData* pNode, Thread* pThread) EXCLUDES(m_EngineLock);
  // One accept or read, producing one event; the bytes counted.
  int Accept(TCPSocketData* pNode) EXCLUDES(m_EngineLock);
  // With bTry the read does not wait: -1 (and no event) when nothing is
  // there. Used while data keeps coming, to save a poll() per read.
  int RecvTCPData(TCPSocketData* pNode, bool bTry = false) EXCLUDES(m_EngineLock);
  int RecvUDPData(TCPSocketData* pNode, bool bTry = false) EXCLUDES(m_EngineLock);
  // The per-socket bandwidth window of the owning thread: when nBytes spend
  // the record's second, waits for the next second (or close pending). True
  // when it waited.
  bool IsOverload(TCPSocketData* pNode, int nBytes);

 protected:
  void DeadlineAddedLocked(int64_t dueMs) override REQUIRES(m_EngineLock);

 private:
  // Before a started socket goes to the pool: when no pool thread is free
  // and none can be added, says so once per shortage (WARN), and the first
  // socket with a thread again after it how many waited.
  void NoteThreadRoom(int nSocket);
  // Hands the event to the record's route, or to the sink when the record
  // has none; returns it to its pool when no node took it.
  void Dispatch(CTCPEvent* ev, TCPSocketData* pNode);
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
  void FinishRecord(TCPSocketData* pNode) EXCLUDES(m_EngineLock);
  // One accept or read of the record's kind; the bytes counted, or -1 when
  // a non-waiting read found nothing.
  int ReadOnce(TCPSocketData* pNode, bool bTry) EXCLUDES(m_EngineLock);
  // The read or the error of one received buffer: the event is sent, or
  // returned unsent (-1) when a non-waiting read found nothing.
  int Finish(TCPSocketData* pNode, CTCPEvent* ev, ssize_t n, bool bTry) EXCLUDES(m_EngineLock);
  // Pauses the record the owner reads (after a failed read, or one packet).
  void PauseOwned(TCPSocketData* pNode) EXCLUDES(m_EngineLock);
  // An accept that failed with `error`: out of descriptors or memory, the
  // listener pauses (50 ms, doubling up to 1 s) instead of trying again at
  // once, and says so in the log once per shortage.
  void AcceptFailed(TCPSocketData* pNode, int error);

  ZEPSockThreadPool m_Pool;
  ZEPSocketSink* m_pSink;
  // When the sweep plans to run next.
  int64_t m_nSweepDueMs GUARDED_BY(m_EngineLock) = INT64_MAX;
  std::atomic<uint64_t> m_nAcceptFailures{0};
  ZEPShortage m_ThreadShortage;
};

// Work item of the socket-thread pool: run this socket of this engine. The
// engine makes one per started socket; the pool only runs it.
class CSockThreadEvent : public CPoolWork {
 public:
  typedef ZEPMTFixMem<CSockThreadEvent, 100, 10, 10> Pool;
  CSockThreadEvent() : CSockThreadEvent(nullptr, nullptr) {}
  CSockThreadEvent(ZEPThreadTCP* pEngine, TCPSocketData* pNode);
  static CSockThreadEvent* Instance(Pool* pool, ZEPThreadTCP* pEngine, TCPSocketData* pNode);
  void DestroyMe() override { ZEPEventRelease(this, m_pPool); }
  void RunWork(Thread* self) override;

 private:
  Pool* m_pPool = nullptr;
  ZEPThreadTCP* m_pEngine;
  TCPSocketData* m_pNode;
};

#endif  // ZEP_NET_ZEPTHREADTCP_H
