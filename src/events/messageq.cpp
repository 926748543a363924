#include "events/messageq.h"

#include <chrono>
#include <new>

#include "base/lockguard.h"
#include "base/zepassert.h"
#include "events/timerrecord.h"
#include "log/zeplog.h"

namespace {
// Polls of the semaphore before a receiver sleeps: up to about ten microseconds
// on current x86 parts, several times the gap between the events of a busy
// producer, and short enough to cost an idle receiver nothing that matters.
const int kSpinBeforeSleep = 200;

inline void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#endif
}
}  // namespace

CMessageQueue::CMessageQueue() {
  // A socket that the receiver keeps up with makes and drops its count
  // record with nearly every event. The socket records live by value in
  // vectors that keep their capacity (no allocation once a queue has seen
  // its sockets, no list-node references to count); the timer records'
  // list nodes come from the list's own pool.
  m_TCPCounts.reserve(8);
  m_CmdCounts.reserve(8);
  m_TimerCounts.SetUsePool(true);
  Init(false);
}

CMessageQueue::~CMessageQueue() { Fini(false); }

void CMessageQueue::Init(bool /*reset*/) {
  m_Sem.Create(nullptr, 0);
  m_nTCPHWM = ZEP_QUEUE_HWM;
  m_nCmdHWM = ZEP_QUEUE_HWM;
  m_nTimerHWM = ZEP_QUEUE_HWM;
}

void CMessageQueue::Fini(bool /*reset*/) {
  // The references are dropped outside the lock: the last one of a pool's
  // work item ends its node, and with it the node's own queue.
  for (;;) {
    CEvent* e = nullptr;
    {
      ZEPLockGuard lock(m_Lock);
      if (m_pHead != nullptr) e = UnlinkLocked(m_pHead);
    }
    if (e == nullptr) break;
    e->downcount();
  }
  ZEPLockGuard lock(m_Lock);
  m_TCPCounts.clear();
  m_CmdCounts.clear();
  while (TimerEvent_tag* r = m_TimerCounts.RemoveHead()) m_TimerRecPool.Free(r);
  while (UserEventCountNode_tag* r = m_Watches.RemoveHead()) m_WatchRecPool.Free(r);
}

void CMessageQueue::Enqueue(CEvent* e, bool tail) {
  if (e == nullptr) return;
  bool wake = false;
  {
    ZEPLockGuard lock(m_Lock);
    if (!AddUEventCountLocked(e)) {
      ++m_Stats.nRefused;
      return;
    }
    ZEPQueueLink* link = e->ClaimQueueLink();
    ZEP_ASSERT(NULL != link);
    LinkLocked(link, tail);
    AddEventCountLocked(e);
    e->upcount();
    // Only a consumer that went to sleep on an empty list needs a release;
    // posting for every event would cost a futex wake-up per event while the
    // consumer is already running.
    if (m_nSleepers > 0) {
      --m_nSleepers;
      wake = true;
    }
    if (m_nTimedWaiters > 0) m_TimedCond.notify_all();
  }
  if (wake) m_Sem.Release();
}

void CMessageQueue::LinkLocked(ZEPQueueLink* link, bool tail) {
  if (tail) {
    link->m_pPrev = m_pTail;
    (m_pTail != nullptr ? m_pTail->m_pNext : m_pHead) = link;
    m_pTail = link;
  } else {
    link->m_pNext = m_pHead;
    (m_pHead != nullptr ? m_pHead->m_pPrev : m_pTail) = link;
    m_pHead = link;
  }
  ++m_nEvents;
}

CEvent* CMessageQueue::UnlinkLocked(ZEPQueueLink* link) {
  (link->m_pPrev != nullptr ? link->m_pPrev->m_pNext : m_pHead) = link->m_pNext;
  (link->m_pNext != nullptr ? link->m_pNext->m_pPrev : m_pTail) = link->m_pPrev;
  --m_nEvents;
  CEvent* e = link->m_pEvent;
  CEvent::ReleaseQueueLink(link);
  return e;
}

CEvent* CMessageQueue::TakeHeadLocked() {
  if (m_pHead == nullptr) return nullptr;
  CEvent* pEvent = UnlinkLocked(m_pHead);
  DelEventCountLocked(pEvent);
  return pEvent;
}

CEvent* CMessageQueue::WaitMsg() {
  for (;;) {
    {
      ZEPLockGuard lock(m_Lock);
      if (m_pHead != nullptr) {
        CEvent* pEvent = TakeHeadLocked();
        ZEP_ASSERT(pEvent);
        return pEvent;
      }
      ++m_nSleepers;  // the next enqueue releases the semaphore for us
    }
    // While we only poll, the producer's release is a plain atomic add; once
    // we sleep it costs a futex wake-up (a cross-CPU interrupt) plus our
    // switch back in, which made that the largest cost of a hand-off to a
    // receiver that keeps up. The poll is short, so a receiver sharing its
    // CPU with the producer gives way soon.
    bool woken = false;
    for (int spin = 0; spin < kSpinBeforeSleep && !woken; ++spin) {
      CpuRelax();
      woken = m_Sem.TryAcquire() == 0;
    }
    // The list is looked at again after every wake-up, so a release whose
    // event another receive took meanwhile only costs one more turn.
    if (!woken) m_Sem.Acquire();
  }
}

CEvent* CMessageQueue::WaitMsg(int type, int timeoutSec) {
  // A monotonic deadline: wall-clock steps neither cut the wait short nor
  // stretch it, and the wait is the full time-out rather than whatever
  // remains of the current whole second. Each enqueue wakes the waiter, which
  // looks for its type again; nothing polls in between.
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSec > 0 ? timeoutSec : 0);
  ZEPLockGuard guard(m_Lock);
  for (;;) {
    for (ZEPQueueLink* l = m_pHead; l != nullptr; l = l->m_pNext) {
      if (l->m_pEvent->GetEventType() == type) {
        CEvent* e = UnlinkLocked(l);
        DelEventCountLocked(e);
        return e;
      }
    }
    if (std::chrono::steady_clock::now() >= deadline) return nullptr;
    ++m_nTimedWaiters;
    m_TimedCond.wait_until(m_Lock, deadline);
    --m_nTimedWaiters;
  }
}

CEvent* CMessageQueue::Dequeue() {
  ZEPLockGuard lock(m_Lock);
  return TakeHeadLocked();
}

CEvent* CMessageQueue::Peek() {
  ZEPLockGuard lock(m_Lock);
  return m_pHead != nullptr ? m_pHead->m_pEvent : nullptr;
}

void CMessageQueue::AddEventWatch(int type, unsigned max) {
  if (max == 0) return;
  ZEPLockGuard lock(m_Lock);
  SmartPtr<CListNode> cursor;
  for (UserEventCountNode_tag* w = m_Watches.GetFirst(&cursor); w != nullptr;
       w = m_Watches.GetNext(&cursor)) {
    if (w->m_nEventType == type) return;
  }
  UserEventCountNode_tag* w = m_WatchRecPool.Malloc();
  ZEP_ASSERT(NULL != w);
  w->m_nEventType = type;
  w->m_nMax = max;
  w->m_nCount = 0;
  m_Watches.AddTail(w);
}

bool CMessageQueue::AddUEventCount(CEvent* e) {
  ZEPLockGuard lock(m_Lock);
  return AddUEventCountLocked(e);
}

void CMessageQueue::DelUEventCount(CEvent* e) {
  ZEPLockGuard lock(m_Lock);
  DelUEventCountLocked(e);
}

void CMessageQueue::AddEventCount(CEvent* e) {
  ZEPLockGuard lock(m_Lock);
  AddEventCountLocked(e);
}

void CMessageQueue::DelEventCount(CEvent* e) {
  ZEPLockGuard lock(m_Lock);
  DelEventCountLocked(e);
}

// Watch check. False refuses the event (the watch of its type is full).
bool CMessageQueue::AddUEventCountLocked(CEvent* e) {
  if (m_Watches.GetCount() == 0) return true;
  SmartPtr<CListNode> cursor;
  for (UserEventCountNode_tag* w = m_Watches.GetFirst(&cursor); w != nullptr;
       w = m_Watches.GetNext(&cursor)) {
    if (w->m_nEventType != e->GetEventType()) continue;
    ++w->m_nCount;
    if (static_cast<unsigned>(w->m_nCount) > w->m_nMax) {
      --w->m_nCount;
      return false;
    }
    return true;
  }
  return true;
}

void CMessageQueue::DelUEventCountLocked(CEvent* e) {
  if (m_Watches.GetCount() == 0) return;
  SmartPtr<CListNode> cursor;
  for (UserEventCountNode_tag* w = m_Watches.GetFirst(&cursor); w != nullptr;
       w = m_Watches.GetNext(&cursor)) {
    if (w->m_nEventType == e->GetEventType()) {
      if (w->m_nCount > 0) --w->m_nCount;
      return;
    }
  }
}

void CMessageQueue::CountSocketLocked(std::vector<SocketEvent_tag>& list, int sock, uint32_t gen,
                                      int hwm) {
  for (SocketEvent_tag& r : list) {
    if (r.m_nSocket != sock || r.m_nGeneration != gen) continue;
    ++r.m_nCount;
    if (r.m_nCount >= hwm && !r.m_bPaused) {
      r.m_bPaused = true;
      ++m_Stats.nSocketPauses;
      // Logged once per pause (the resume is not logged; both are counted).
      ZEP_LOG_LINE(LOG_INFO, "message queue: socket " << static_cast<unsigned long>(sock)
                                                      << " paused at " << r.m_nCount
                                                      << " queued events");
      if (m_pFrame != nullptr) m_pFrame->SetFCPaused(sock, gen, true);
    }
    return;
  }
  SocketEvent_tag r;
  r.m_nSocket = sock;
  r.m_nGeneration = gen;
  r.m_nCount = 1;
  r.m_bPaused = false;
  // Out of memory for one more record is fatal, as an empty record pool was.
  try {
    list.push_back(r);
  } catch (const std::bad_alloc&) {
    ZEP_ASSERT(false);
  }
}

void CMessageQueue::UncountSocketLocked(std::vector<SocketEvent_tag>& list, int sock, uint32_t gen,
                                        int hwm) {
  for (size_t i = 0; i < list.size(); ++i) {
    SocketEvent_tag& r = list[i];
    if (r.m_nSocket != sock || r.m_nGeneration != gen) continue;
    --r.m_nCount;
    if (r.m_nCount < hwm && r.m_bPaused) {
      r.m_bPaused = false;
      ++m_Stats.nSocketResumes;
      if (m_pFrame != nullptr) m_pFrame->SetFCPaused(sock, gen, false);
    }
    if (r.m_nCount <= 0) {
      // Records carry no order: the last one fills the gap.
      list[i] = list.back();
      list.pop_back();
    }
    return;
  }
  ZEP_ASSERT(false);  // a queued event always has its count record
}

void CMessageQueue::AddEventCountLocked(CEvent* e) {
  if (CTCPEvent* tcp = CTCPEvent::Narrow(e)) {
    CountSocketLocked(m_TCPCounts, tcp->GetSocket(), tcp->GetGeneration(), m_nTCPHWM);
  } else if (CCmdEvent* cmd = CCmdEvent::Narrow(e)) {
    CountSocketLocked(m_CmdCounts, cmd->GetSocket(), 0, m_nCmdHWM);
  } else if (CTimerEvent* tm = CTimerEvent::Narrow(e)) {
    SmartPtr<CListNode> cursor;
    for (TimerEvent_tag* r = m_TimerCounts.GetFirst(&cursor); r != nullptr;
         r = m_TimerCounts.GetNext(&cursor)) {
      if (r->m_pTimerID != tm->GetTimerID() || r->m_nSerial != tm->GetTimerSerial()) continue;
      ++r->m_nCount;
      if (r->m_nCount >= m_nTimerHWM && !r->m_bPaused) {
        r->m_bPaused = true;
        ++m_Stats.nTimerPauses;
        ZEP_LOG_LINE(LOG_INFO, "message queue: timer " << static_cast<unsigned long>(r->m_nSerial)
                                                       << " paused at " << r->m_nCount
                                                       << " queued events");
        // Only the timer armed with this serial is paused; a tick of a timer
        // deleted meanwhile pauses nothing.
        if (r->m_pTimerID != nullptr) r->m_pTimerID->SetPaused(r->m_nSerial, true);
      }
      return;
    }
    TimerEvent_tag* r = m_TimerRecPool.Malloc();
    ZEP_ASSERT(NULL != r);
    r->m_pTimerID = tm->GetTimerID();
    r->m_nSerial = tm->GetTimerSerial();
    r->m_nCount = 1;
    r->m_bPaused = false;
    m_TimerCounts.AddTail(r);
  }
}

void CMessageQueue::DelEventCountLocked(CEvent* e) {
  if (CTCPEvent* tcp = CTCPEvent::Narrow(e)) {
    UncountSocketLocked(m_TCPCounts, tcp->GetSocket(), tcp->GetGeneration(), m_nTCPHWM);
  } else if (CCmdEvent* cmd = CCmdEvent::Narrow(e)) {
    UncountSocketLocked(m_CmdCounts, cmd->GetSocket(), 0, m_nCmdHWM);
  } else if (CTimerEvent* tm = CTimerEvent::Narrow(e)) {
    SmartPtr<CListNode> cursor;
    for (TimerEvent_tag* r = m_TimerCounts.GetFirst(&cursor); r != nullptr;
         r = m_TimerCounts.GetNext(&cursor)) {
      if (r->m_pTimerID != tm->GetTimerID() || r->m_nSerial != tm->GetTimerSerial()) continue;
      --r->m_nCount;
      if (r->m_nCount < m_nTimerHWM && r->m_bPaused) {
        r->m_bPaused = false;
        // The record may have been deleted (and its slot reused by another
        // timer) while these ticks waited: the serial-checked resume then
        // writes nothing.
        if (r->m_pTimerID != nullptr && r->m_pTimerID->SetPaused(r->m_nSerial, false))
          ++m_Stats.nTimerResumes;
      }
      if (r->m_nCount <= 0) {
        m_TimerCounts.RemoveAtCursor(&cursor);
        m_TimerRecPool.Free(r);
      }
      return;
    }
    ZEP_ASSERT(false);
  } else {
    DelUEventCountLocked(e);
  }
}

int CMessageQueue::CountOfType(int type) {
  ZEPLockGuard lock(m_Lock);
  int n = 0;
  for (ZEPQueueLink* l = m_pHead; l != nullptr; l = l->m_pNext)
    if (type < 0 || l->m_pEvent->GetEventType() == type) ++n;
  return n;
}

int CMessageQueue::GetCount() {
  ZEPLockGuard lock(m_Lock);
  return m_nEvents;
}

int CMessageQueue::GetTimeEventCount() { return CountOfType(ZEP_EVENT_TIMER); }

int CMessageQueue::GetTCPCount(int sock) {
  ZEPLockGuard lock(m_Lock);
  int n = 0;
  for (ZEPQueueLink* l = m_pHead; l != nullptr; l = l->m_pNext) {
    CTCPEvent* tcp = CTCPEvent::Narrow(l->m_pEvent);
    if (tcp != nullptr && tcp->GetSocket() == sock) ++n;
  }
  return n;
}

int CMessageQueue::GetCmdEventCount(int sock) {
  ZEPLockGuard lock(m_Lock);
  int n = 0;
  for (ZEPQueueLink* l = m_pHead; l != nullptr; l = l->m_pNext) {
    CCmdEvent* cmd = CCmdEvent::Narrow(l->m_pEvent);
    if (cmd != nullptr && cmd->GetSocket() == sock) ++n;
  }
  return n;
}

CMessageQueue::FlowStats CMessageQueue::GetFlowStats() {
  ZEPLockGuard lock(m_Lock);
  return m_Stats;
}
