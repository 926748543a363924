// messageq.h — CMessageQueue, the inbox of one application node (and the job
// queue of the worker pools).
//
// Owns: the queued events' queue references (one per queued event), the
// chain of their queue links (each event's own link, or a heap link when the
// event sits in another queue too), the per-source count records and the
// event watches. Threads: any thread may
// Enqueue; exactly one consumer thread receives (WaitMsg, Dequeue, Peek). The
// setters and Init/Fini run before the queue is shared or after it is no
// longer used and take no lock.
//
// Locks: the queue lock guards the list and every record. While holding it the
// queue may call its flow control's SetFCPaused (ZEPFlowControl, implemented
// by the frame; it takes the socket engine's lock) and may pause or resume a
// timer record (an atomic, no lock). Callers that
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
  // Consumer only. The returned event carries the queue's reference.
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
  bool AddUEventCount(CEvent* e);
  void DelUEventCount(CEvent* e);
  void AddEventCount(CEvent* e);
  void DelEventCount(CEvent* e);
  void CountSocket(std::vector<SocketEvent_tag>& list, int sock, uint32_t gen, int hwm);
  void UncountSocket(std::vector<SocketEvent_tag>& list, int sock, uint32_t gen, int hwm);
  int CountOfType(int type);
  CEvent* TakeHeadLocked();
  // Chain operations, queue lock held.
  void LinkLocked(ZEPQueueLink* link, bool tail);
  CEvent* UnlinkLocked(ZEPQueueLink* link);

  Mutex m_Lock;
  ZEPQueueLink* m_pHead = nullptr;  // next to deliver
  ZEPQueueLink* m_pTail = nullptr;
  int m_nEvents = 0;
  Semaphore m_Sem;
  std::vector<SocketEvent_tag> m_TCPCounts;  // one record per socket with events queued
  std::vector<SocketEvent_tag> m_CmdCounts;
  ZEPList<TimerEvent_tag> m_TimerCounts;
  ZEPList<UserEventCountNode_tag> m_Watches;
  ZEPFixMem<TimerEvent_tag, 100, 10, 10> m_TimerRecPool;
  ZEPFixMem<UserEventCountNode_tag, 100, 10, 10> m_WatchRecPool;
  int m_nTCPHWM = ZEP_QUEUE_HWM;
  int m_nCmdHWM = ZEP_QUEUE_HWM;
  int m_nTimerHWM = ZEP_QUEUE_HWM;
  ZEPFlowControl* m_pFrame = nullptr;
  FlowStats m_Stats;        // queue lock
  int m_nSleepers = 0;      // queue lock: consumers waiting on the semaphore
  int m_nTimedWaiters = 0;  // queue lock: selective receivers waiting on m_TimedCond
  std::condition_variable_any m_TimedCond;
};

#endif  // ZEP_EVENTS_MESSAGEQ_H
