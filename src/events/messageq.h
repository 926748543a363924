// messageq.h — CMessageQueue, the inbox of one application node (and the job
// queue of the worker pools).
//
// Owns: the queued events' queue references (one per queued event), the
// chain of their queue links (each event's own link, or a heap link when the
// event sits in another queue too), the per-source count records and the
// event watches.
//
// Threads: any thread may Enqueue. Every receive (WaitMsg, Dequeue, Peek)
// does its list work under the queue lock, so receivers on several threads
// are safe; in use a node's queue has one receiver, the node's own thread,
// and a worker pool's threads take turns on the pool's queue, one waiting at
// a time (CThreadPoolMesgQ's waiter lock, threadpool.h). The setters and
// Init run before the queue is shared and take no lock; Fini runs once the
// queue is no longer used, empties it under the queue lock and drops the
// events' references outside it (an event's last reference may end a node,
// whose own queue then finishes).
//
// Locks: the queue lock guards the list, the counts, every record and the
// statistics (clang's thread-safety analysis checks it; the ...Locked
// functions need it held). While holding it the queue may call its flow
// control's SetFCPaused (ZEPFlowControl, implemented by the frame; it takes
// the socket engine's lock), may pause or resume a timer record (an atomic,
// no lock) and logs each pause (g_LogMutex, innermost). Callers that
// enqueue while holding the ticker, socket-map or node-list lock are fine: the
// queue lock nests inside all of them (see docs/ARCHITECTURE.md). The wake-up
// semaphore is waited on outside the lock, and released only for a consumer
// that found the list empty and went to sleep (counted under the lock); such
// a consumer polls the semaphore for some microseconds before it blocks. A
// selective receive with a time-out waits on a condition variable over the
// queue lock, on the monotonic clock.
//
// Flow control: at the high-water mark (100 by default) of queued events from
// one socket, one socket's command events or one timer, the source is paused
// once; when the count falls back below the mark it is resumed once. Each pause
// and resume is counted (GetFlowStats) so tests and reports can see them.
// Sockets are counted per descriptor and generation: events of a closed socket
// whose number a new socket got meanwhile neither pause nor resume the new one.
#ifndef ZEP_EVENTS_MESSAGEQ_H
#define ZEP_EVENTS_MESSAGEQ_H

#include <condition_variable>
#include <cstdint>
#include <vector>

#include "base/zepconst.h"
#include "base/zepfixmem.h"
#include "base/zepmultithread.h"
#include "base/zepthreadsafety.h"
#include "base/zeptlist.h"
#include "events/events.h"
#include "events/eventsink.h"

struct TimeEvent_tag;

// Count of queued events from one socket (TCP or command events).
struct SocketEvent_tag {
  int m_nSocket = -1;
  uint32_t m_nGeneration = 0;
  int m_nCount = 0;
  bool m_bPaused = false;
};

// Count of queued ticks of one timer. The serial tells two timers apart that
// used the same record slot one after the other.
struct TimerEvent_tag {
  TimeEvent_tag* m_pTimerID = nullptr;
  uint64_t m_nSerial = 0;
  int m_nCount = 0;
  bool m_bPaused = false;
};

// Cap on the number of queued events of one (user-defined) type.
struct UserEventCountNode_tag {
  int m_nEventType = 0;
  unsigned m_nMax = 0;
  int m_nCount = 0;
};

class CMessageQueue {
 public:
  struct FlowStats {
    uint64_t nSocketPauses = 0;   // sockets paused (TCP or command events)
    uint64_t nSocketResumes = 0;  // sockets resumed
    uint64_t nTimerPauses = 0;    // timers paused
    uint64_t nTimerResumes = 0;   // timers resumed (stale timers are not counted)
    uint64_t nRefused = 0;        // events refused by a full watch
  };

  CMessageQueue();
  ~CMessageQueue();
  CMessageQueue(const CMessageQueue&) = delete;
  CMessageQueue& operator=(const CMessageQueue&) = delete;

  void Init(bool reset);
  void Fini(bool reset);

  // The target of socket pauses (the frame); null: sockets are never paused.
  void SetFrame(ZEPFlowControl* frame) { m_pFrame = frame; }
  void SetTCPEventHWM(int n) { m_nTCPHWM = n; }
  void SetCmdEventHWM(int n) { m_nCmdHWM = n; }
  void SetTimerEventHWM(int n) { m_nTimerHWM = n; }

  // Offers an event (tail or head); takes one reference when it is accepted.
  void Enqueue(CEvent* e, bool tail);
  // Receivers. The returned event carries the queue's reference.
  CEvent* WaitMsg();
  CEvent* WaitMsg(int type, int timeoutSec);
  CEvent* Dequeue();
  CEvent* Peek();
  CEvent* PeekEvent() { return Peek(); }

  void AddEventWatch(int type, unsigned max);

  int GetCount();
  int GetTimeEventCount();
  int GetTCPCount(int sock);
  int GetCmdEventCount(int sock);
  FlowStats GetFlowStats();

 private:
  // The accounting steps, each as one call under the queue lock. Enqueue and
  // the receives run the Locked forms inside the step that links or unlinks
  // the event, so that the counts always match the list.
  bool AddUEventCount(CEvent* e);  // watch check; false refuses the event
  void DelUEventCount(CEvent* e);
  void AddEventCount(CEvent* e);  // per-source counts and pauses
  void DelEventCount(CEvent* e);
  bool AddUEventCountLocked(CEvent* e) REQUIRES(m_Lock);
  void DelUEventCountLocked(CEvent* e) REQUIRES(m_Lock);
  void AddEventCountLocked(CEvent* e) REQUIRES(m_Lock);
  void DelEventCountLocked(CEvent* e) REQUIRES(m_Lock);
  void CountSocketLocked(std::vector<SocketEvent_tag>& list, int sock, uint32_t gen, int hwm)
      REQUIRES(m_Lock);
  void UncountSocketLocked(std::vector<SocketEvent_tag>& list, int sock, uint32_t gen, int hwm)
      REQUIRES(m_Lock);
  int CountOfType(int type);
  CEvent* TakeHeadLocked() REQUIRES(m_Lock);
  void LinkLocked(ZEPQueueLink* link, bool tail) REQUIRES(m_Lock);
  CEvent* UnlinkLocked(ZEPQueueLink* link) REQUIRES(m_Lock);

  Mutex m_Lock;
  ZEPQueueLink* m_pHead GUARDED_BY(m_Lock) = nullptr;  // next to deliver
  ZEPQueueLink* m_pTail GUARDED_BY(m_Lock) = nullptr;
  int m_nEvents GUARDED_BY(m_Lock) = 0;
  Semaphore m_Sem;
  // One record per socket with events queued.
  std::vector<SocketEvent_tag> m_TCPCounts GUARDED_BY(m_Lock);
  std::vector<SocketEvent_tag> m_CmdCounts GUARDED_BY(m_Lock);
  ZEPList<TimerEvent_tag> m_TimerCounts GUARDED_BY(m_Lock);
  ZEPList<UserEventCountNode_tag> m_Watches GUARDED_BY(m_Lock);
  ZEPFixMem<TimerEvent_tag, 100, 10, 10> m_TimerRecPool GUARDED_BY(m_Lock);
  ZEPFixMem<UserEventCountNode_tag, 100, 10, 10> m_WatchRecPool GUARDED_BY(m_Lock);
  // Set before the queue is shared (no lock).
  int m_nTCPHWM = ZEP_QUEUE_HWM;
  int m_nCmdHWM = ZEP_QUEUE_HWM;
  int m_nTimerHWM = ZEP_QUEUE_HWM;
  ZEPFlowControl* m_pFrame = nullptr;
  FlowStats m_Stats GUARDED_BY(m_Lock);
  int m_nSleepers GUARDED_BY(m_Lock) = 0;      // receivers waiting on the semaphore
  int m_nTimedWaiters GUARDED_BY(m_Lock) = 0;  // selective receivers waiting on m_TimedCond
  std::condition_variable_any m_TimedCond;
};

#endif  // ZEP_EVENTS_MESSAGEQ_H
