// CMessageQueue: construction and end, the hand-off from producers to the
// receiver (the incoming stack, the ordered list, the wake-ups) and every
// receive. The per-source counting and the pauses are in messageq_flow.cpp,
// the flood episodes and the deferred log lines in messageq_flood.cpp.
#include "events/messageq.h"

#include <chrono>

#include "base/lockguard.h"
#include "base/zepassert.h"
#include "events/messageq_flood.h"
#include "events/timerrecord.h"

using zepqueue_detail::Reversed;

namespace {
// Polls of the semaphore before a receiver sleeps: up to about ten microseconds
// on current x86 parts, several times the gap between the events of a busy
// producer, and short enough to cost an idle receiver nothing that matters.
const int kSpinBeforeSleep = 200;

// Wake figures of the queues that have ended (GetWakeTotals adds the live ones).
std::atomic<uint64_t> g_EndedReceived{0};
std::atomic<uint64_t> g_EndedWakeCalls{0};

inline void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#endif
}
}  // namespace

CMessageQueue::CMessageQueue() { Init(false); }

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
      DrainLocked();
      if (m_pHead != nullptr) e = UnlinkLocked(m_pHead);
    }
    if (e == nullptr) break;
    // A timer's count is its record's, which outlives this queue.
    if (CTimerEvent* tm = RecordedTick(e)) tm->GetTimerID()->AddQueued(tm->GetTimerSerial(), -1);
    e->downcount();
  }
  {
    ZEPLockGuard lock(m_FlowLock);
    CloseEpisodesLocked(0, true);
    for (const TimerRef& t : m_PausedTimers)
      if (t.m_pRec->SetPaused(t.m_nSerial, false)) ++m_Stats.nTimerResumes;
    m_PausedTimers.clear();
    // The sources this queue paused are resumed: nothing it counted is
    // queued any more, and no later event of it would ever ask again. A
    // socket other queues still hold paused stays paused (the frame counts
    // the queues that want it paused).
    for (int k = 0; k < kKinds; ++k) {
      for (int i = 0; i < kSlots; ++i)
        if (m_SlotState[k][i].m_bPaused)
          ApplyLocked(static_cast<Kind>(k), m_SlotState[k][i], 0, nullptr);
      for (Overflow& r : m_Overflow[k])
        if (r.m_State.m_bPaused) ApplyLocked(static_cast<Kind>(k), r.m_State, 0, nullptr);
    }
    FiniSlotsLocked();
  }
  g_EndedReceived.fetch_add(m_nReceived.exchange(0), std::memory_order_relaxed);
  g_EndedWakeCalls.fetch_add(m_nWakeCalls.exchange(0), std::memory_order_relaxed);
  FlushLog();
}

CMessageQueue::WakeStats CMessageQueue::GetWakeStats() const {
  WakeStats w;
  w.nReceived = m_nReceived.load(std::memory_order_relaxed);
  w.nWakeCalls = m_nWakeCalls.load(std::memory_order_relaxed);
  return w;
}

CMessageQueue::WakeStats CMessageQueue::GetEndedWakeStats() {
  WakeStats w;
  w.nReceived = g_EndedReceived.load(std::memory_order_relaxed);
  w.nWakeCalls = g_EndedWakeCalls.load(std::memory_order_relaxed);
  return w;
}

void CMessageQueue::Enqueue(CEvent* e, bool tail) {
  if (e == nullptr) return;
  if (!AddUEventCount(e)) return;
  ZEPQueueLink* link = e->ClaimQueueLink();
  ZEP_ASSERT(NULL != link);
  // Counted and referenced before it can be seen: a receiver may take it,
  // uncount it and drop the reference the moment it is pushed.
  AddEventCount(e);
  e->upcount();
  if (tail) {
    ZEPQueueLink* head = m_pIncoming.load(std::memory_order_relaxed);
    do {
      link->m_pNext = head;
    } while (!m_pIncoming.compare_exchange_weak(head, link, std::memory_order_seq_cst,
                                                std::memory_order_relaxed));
  } else {
    ZEPLockGuard lock(m_Lock);
    DrainLocked();  // everything pushed before this event stays behind it
    LinkLocked(link, false);
  }
  WakeAfterPush();
}

void CMessageQueue::WakeAfterPush() {
  // Only a receiver that announced it would sleep needs a release; posting
  // for every event would cost a futex wake-up per event while the receiver
  // is already running. The push above and this load are sequentially
  // consistent, as are the receiver's announcement and its last look.
  if (m_nSleepers.load(std::memory_order_seq_cst) > 0) {
    int s = m_nSleepers.load(std::memory_order_relaxed);
    while (s > 0) {
      if (m_nSleepers.compare_exchange_weak(s, s - 1, std::memory_order_seq_cst)) {
        // A receiver still polling takes the release with an atomic; one
        // that went on to block costs the system call counted here.
        if (m_nParked.load(std::memory_order_seq_cst) > 0)
          m_nWakeCalls.fetch_add(1, std::memory_order_relaxed);
        m_Sem.Release();
        break;
      }
    }
  }
  if (m_nTimedWaiters.load(std::memory_order_seq_cst) > 0) {
    // The waiter holds the receive lock from its last look until it waits,
    // so taking the lock here cannot slip the notification in between.
    ZEPLockGuard lock(m_Lock);
    m_TimedCond.notify_all();
  }
}

void CMessageQueue::DrainLocked() {
  if (m_pIncoming.load(std::memory_order_seq_cst) == nullptr) return;
  // Newest first: turn it round, then append in push order.
  ZEPQueueLink* ordered = Reversed(m_pIncoming.exchange(nullptr, std::memory_order_seq_cst));
  while (ordered != nullptr) {
    ZEPQueueLink* next = ordered->m_pNext;
    ordered->m_pNext = nullptr;
    LinkLocked(ordered, true);
    ordered = next;
  }
}

void CMessageQueue::LinkLocked(ZEPQueueLink* link, bool tail) {
  if (tail) {
    link->m_pNext = nullptr;
    link->m_pPrev = m_pTail;
    (m_pTail != nullptr ? m_pTail->m_pNext : m_pHead) = link;
    m_pTail = link;
  } else {
    link->m_pPrev = nullptr;
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
  DrainLocked();
  if (m_pHead == nullptr) return nullptr;
  return UnlinkLocked(m_pHead);
}

// After a receive, outside the receive lock: the counts are atomics and the
// flow lock, so the receive lock nests nothing.
CEvent* CMessageQueue::Received(CEvent* e) {
  if (e == nullptr) return nullptr;
  // A queue in use has one receiver: no read-modify-write (a count lost to
  // two receiving at once would only make the figure low).
  m_nReceived.store(m_nReceived.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
  DelEventCount(e);
  MaybeCloseEpisodes();
  // The receiver holds no frame lock here: lines the producers left about
  // pauses (this queue's or another's) are written now.
  FlushLog();
  return e;
}

CEvent* CMessageQueue::WaitMsg() {
  for (;;) {
    {
      ZEPLockGuard lock(m_Lock);
      CEvent* pEvent = TakeHeadLocked();
      if (pEvent == nullptr) {
        // Announce, then look once more: a producer that pushed before it
        // could see the announcement left its event where this look finds it.
        m_nSleepers.fetch_add(1, std::memory_order_seq_cst);
        pEvent = TakeHeadLocked();
        if (pEvent != nullptr) {
          // Take the announcement back; if a producer took it already, its
          // release only costs a later wait one more turn.
          int s = m_nSleepers.load(std::memory_order_relaxed);
          while (s > 0 && !m_nSleepers.compare_exchange_weak(s, s - 1, std::memory_order_seq_cst)) {
          }
        }
      }
      if (pEvent != nullptr) {
        lock.Unlock();
        return Received(pEvent);
      }
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
    if (!woken) {
      m_nParked.fetch_add(1, std::memory_order_seq_cst);
      m_Sem.Acquire();
      m_nParked.fetch_sub(1, std::memory_order_relaxed);
    }
  }
}

CEvent* CMessageQueue::WaitMsg(int type, int timeoutSec) {
  // A monotonic deadline: wall-clock steps neither cut the wait short nor
  // stretch it, and the wait is the full time-out rather than whatever
  // remains of the current whole second. Each enqueue wakes the waiter, which
  // looks for its type again; nothing polls in between.
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSec > 0 ? timeoutSec : 0);
  CEvent* found = nullptr;
  {
    ZEPLockGuard guard(m_Lock);
    for (;;) {
      if ((found = TakeTypeLocked(type)) != nullptr) break;
      if (std::chrono::steady_clock::now() >= deadline) break;
      // Counted before the last look, which the lock keeps up to the wait.
      m_nTimedWaiters.fetch_add(1, std::memory_order_seq_cst);
      if ((found = TakeTypeLocked(type)) == nullptr) m_TimedCond.wait_until(m_Lock, deadline);
      m_nTimedWaiters.fetch_sub(1, std::memory_order_seq_cst);
      if (found != nullptr) break;
    }
  }
  return Received(found);
}

CEvent* CMessageQueue::TakeTypeLocked(int type) {
  DrainLocked();
  for (ZEPQueueLink* l = m_pHead; l != nullptr; l = l->m_pNext) {
    if (l->m_pEvent->GetEventType() == type) return UnlinkLocked(l);
  }
  return nullptr;
}

CEvent* CMessageQueue::Dequeue() {
  CEvent* e;
  {
    ZEPLockGuard lock(m_Lock);
    e = TakeHeadLocked();
  }
  return Received(e);
}

CEvent* CMessageQueue::Peek() {
  ZEPLockGuard lock(m_Lock);
  DrainLocked();
  return m_pHead != nullptr ? m_pHead->m_pEvent : nullptr;
}

int CMessageQueue::CountOfType(int type) {
  ZEPLockGuard lock(m_Lock);
  DrainLocked();
  int n = 0;
  for (ZEPQueueLink* l = m_pHead; l != nullptr; l = l->m_pNext)
    if (type < 0 || l->m_pEvent->GetEventType() == type) ++n;
  return n;
}

int CMessageQueue::GetCount() {
  ZEPLockGuard lock(m_Lock);
  DrainLocked();
  return m_nEvents;
}

int CMessageQueue::GetTimeEventCount() { return CountOfType(ZEP_EVENT_TIMER); }

int CMessageQueue::GetTCPCount(int sock) {
  ZEPLockGuard lock(m_Lock);
  DrainLocked();
  int n = 0;
  for (ZEPQueueLink* l = m_pHead; l != nullptr; l = l->m_pNext) {
    CTCPEvent* tcp = CTCPEvent::Narrow(l->m_pEvent);
    if (tcp != nullptr && tcp->GetSocket() == sock) ++n;
  }
  return n;
}

int CMessageQueue::GetCmdEventCount(int sock) {
  ZEPLockGuard lock(m_Lock);
  DrainLocked();
  int n = 0;
  for (ZEPQueueLink* l = m_pHead; l != nullptr; l = l->m_pNext) {
    CCmdEvent* cmd = CCmdEvent::Narrow(l->m_pEvent);
    if (cmd != nullptr && cmd->GetSocket() == sock) ++n;
  }
  return n;
}
