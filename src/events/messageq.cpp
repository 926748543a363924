#include "events/messageq.h"

#include <chrono>
#include <new>

#include "base/lockguard.h"
#include "base/zepassert.h"
#include "base/zepmultithread_clock.h"
#include "events/timerrecord.h"
#include "log/zeplog.h"

namespace {
// Polls of the semaphore before a receiver sleeps: up to about ten microseconds
// on current x86 parts, several times the gap between the events of a busy
// producer, and short enough to cost an idle receiver nothing that matters.
const int kSpinBeforeSleep = 200;

// A slot's word: the count, then the busy and keyed bits, then the epoch.
constexpr uint64_t kCountMask = 0xffffffffull;
constexpr uint64_t kBusy = 1ull << 32;
constexpr uint64_t kKeyed = 1ull << 33;
constexpr uint64_t kEpochOne = 1ull << 34;
constexpr uint64_t kEpochMask = ~(kEpochOne - 1);

std::atomic<uint64_t> g_FloodPauses{0};
std::atomic<uint64_t> g_FloodEpisodes{0};
std::atomic<uint64_t> g_FloodEvents{0};
std::atomic<uint64_t> g_FloodOpen{0};
// Wake figures of the queues that have ended (GetWakeTotals adds the live ones).
std::atomic<uint64_t> g_EndedReceived{0};
std::atomic<uint64_t> g_EndedWakeCalls{0};

inline void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#endif
}

int64_t MonoSec() { return ZEPMonoMs() / 1000; }

// A line written about a pause or a flood waits here until no frame lock is
// held: the queue decides on it under its flow lock, which its producers take
// inside the ticker, route and node-list locks, and a log output that stalls
// must not stall delivery. Newest first, taken whole by FlushLog.
struct PendingLine {
  PendingLine* m_pNext = nullptr;
  const char* m_pFile = nullptr;
  int m_nLine = 0;
  LOG_TYPE_ m_eLevel = LOG_INFO;
  ZEPString m_Text;
};
std::atomic<PendingLine*> g_PendingLines{nullptr};

void LogLater(const char* file, int line, LOG_TYPE_ level, const ZEPString& text) {
  PendingLine* p = new (std::nothrow) PendingLine;
  if (p == nullptr) return;  // a line is not worth failing an enqueue for
  p->m_pFile = file;
  p->m_nLine = line;
  p->m_eLevel = level;
  p->m_Text = text;
  PendingLine* head = g_PendingLines.load(std::memory_order_relaxed);
  do {
    p->m_pNext = head;
  } while (!g_PendingLines.compare_exchange_weak(head, p, std::memory_order_release,
                                                 std::memory_order_relaxed));
}
}  // namespace

#define ZEP_QUEUE_LOG_LATER(level, parts)               \
  do {                                                  \
    ZEPString zepQueueLine_;                            \
    zepQueueLine_ << parts;                             \
    LogLater(__FILE__, __LINE__, level, zepQueueLine_); \
  } while (0)

namespace {

// A lock-free stack taken whole holds its entries newest first; turned round
// they come in push order.
template <class T>
T* Reversed(T* stack) {
  T* ordered = nullptr;
  while (stack != nullptr) {
    T* next = stack->m_pNext;
    stack->m_pNext = ordered;
    ordered = stack;
    stack = next;
  }
  return ordered;
}

}  // namespace

void CMessageQueue::FlushLog() {
  if (g_PendingLines.load(std::memory_order_relaxed) == nullptr) return;
  PendingLine* ordered = Reversed(g_PendingLines.exchange(nullptr, std::memory_order_acquire));
  while (ordered != nullptr) {
    PendingLine* next = ordered->m_pNext;
    ZEPLogLine(ordered->m_pFile, ordered->m_nLine, ordered->m_eLevel, ordered->m_Text);
    delete ordered;
    ordered = next;
  }
}

namespace {

// Adds one to the slot of (key, aux) when one is keyed to it: the new count,
// or 0 (and nothing changed) when no slot is. The swap fails if the slot
// changed hands after its key was read, since every change of hands moves
// the epoch.
int CountInSlots(CMessageQueue::FlowSlot* slots, uint64_t key, uintptr_t aux,
                 CMessageQueue::FlowSlot** out) {
  for (int i = 0; i < CMessageQueue::kSlots; ++i) {
    CMessageQueue::FlowSlot& s = slots[i];
    uint64_t w = s.m_nWord.load(std::memory_order_acquire);
    for (;;) {
      if ((w & (kKeyed | kBusy)) != kKeyed) break;
      if (s.m_nKey.load(std::memory_order_relaxed) != key ||
          s.m_nAux.load(std::memory_order_relaxed) != aux)
        break;
      if (s.m_nWord.compare_exchange_weak(w, w + 1, std::memory_order_acq_rel,
                                          std::memory_order_acquire)) {
        if (s.m_bInEpisode.load(std::memory_order_relaxed))
          s.m_nEpisodeEvents.fetch_add(1, std::memory_order_relaxed);
        *out = &s;
        return static_cast<int>((w + 1) & kCountMask);
      }
    }
  }
  return 0;
}

// A tick whose timer has a record is counted there; ticks made without one
// (tests, hand-made events) are counted in the slots like a socket's events.
CTimerEvent* RecordedTick(CEvent* e) {
  if (e->GetEventType() != ZEP_EVENT_TIMER) return nullptr;
  CTimerEvent* tm = CTimerEvent::Narrow(e);
  return tm != nullptr && tm->GetTimerID() != nullptr ? tm : nullptr;
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

void CMessageQueue::FiniSlotsLocked() {
  for (int k = 0; k < kKinds; ++k) {
    for (int i = 0; i < kSlots; ++i) {
      FlowSlot& s = m_Slots[k][i];
      s.m_nWord.store((s.m_nWord.load() & kEpochMask) + kEpochOne, std::memory_order_release);
      s.m_bInEpisode.store(false);
      s.m_nEpisodeEvents.store(0);
      m_SlotState[k][i] = SlotState();
    }
    m_Overflow[k].clear();
  }
  while (UserEventCountNode_tag* r = m_Watches.RemoveHead()) m_WatchRecPool.Free(r);
  m_nWatches.store(0);
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

int CMessageQueue::AddEventWatch(int type, unsigned max) {
  if (max == 0) return -1;
  if (type == ZEP_EVENT_TCP || type == ZEP_EVENT_CMD || type == ZEP_EVENT_TIMER) {
    // These kinds are counted per source, and a receive uncounts them there,
    // never in a watch: such a watch would fill and refuse its kind for good.
    ZEP_LOG_LINE(LOG_WARN,
                 "message queue: no event watch on type " << type << ", it has flow control");
    return -1;
  }
  ZEPLockGuard lock(m_FlowLock);
  SmartPtr<CListNode> cursor;
  for (UserEventCountNode_tag* w = m_Watches.GetFirst(&cursor); w != nullptr;
       w = m_Watches.GetNext(&cursor)) {
    if (w->m_nEventType == type) return 0;
  }
  UserEventCountNode_tag* w = m_WatchRecPool.Malloc();
  ZEP_ASSERT(NULL != w);
  w->m_nEventType = type;
  w->m_nMax = max;
  w->m_nCount = 0;
  m_Watches.AddTail(w);
  m_nWatches.store(static_cast<int>(m_Watches.GetCount()), std::memory_order_release);
  return 0;
}

// Watch check. False refuses the event (the watch of its type is full).
bool CMessageQueue::AddUEventCount(CEvent* e) {
  if (m_nWatches.load(std::memory_order_acquire) == 0) return true;
  ZEPLockGuard lock(m_FlowLock);
  SmartPtr<CListNode> cursor;
  for (UserEventCountNode_tag* w = m_Watches.GetFirst(&cursor); w != nullptr;
       w = m_Watches.GetNext(&cursor)) {
    if (w->m_nEventType != e->GetEventType()) continue;
    ++w->m_nCount;
    if (static_cast<unsigned>(w->m_nCount) > w->m_nMax) {
      --w->m_nCount;
      ++m_Stats.nRefused;
      return false;
    }
    return true;
  }
  return true;
}

void CMessageQueue::DelUEventCount(CEvent* e) {
  if (m_nWatches.load(std::memory_order_acquire) == 0) return;
  ZEPLockGuard lock(m_FlowLock);
  SmartPtr<CListNode> cursor;
  for (UserEventCountNode_tag* w = m_Watches.GetFirst(&cursor); w != nullptr;
       w = m_Watches.GetNext(&cursor)) {
    if (w->m_nEventType == e->GetEventType()) {
      if (w->m_nCount > 0) --w->m_nCount;
      return;
    }
  }
}

int CMessageQueue::Hwm(Kind kind) const {
  const int hwm = kind == kTCP ? m_nTCPHWM : (kind == kCmd ? m_nCmdHWM : m_nTimerHWM);
  return hwm > 1 ? hwm : 1;
}

bool CMessageQueue::SourceOf(CEvent* e, Kind* kind, uint64_t* key, uintptr_t* aux, SlotState* st) {
  const int type = e->GetEventType();
  if (type != ZEP_EVENT_TCP && type != ZEP_EVENT_CMD && type != ZEP_EVENT_TIMER) return false;
  if (CTCPEvent* tcp = CTCPEvent::Narrow(e)) {
    *kind = kTCP;
    st->m_nSocket = tcp->GetSocket();
    st->m_nGeneration = tcp->GetGeneration();
  } else if (CCmdEvent* cmd = CCmdEvent::Narrow(e)) {
    *kind = kCmd;
    st->m_nSocket = cmd->GetSocket();
    st->m_nGeneration = cmd->GetGeneration();
  } else if (CTimerEvent* tm = CTimerEvent::Narrow(e)) {
    *kind = kTimer;
    st->m_pTimer = tm->GetTimerID();
    st->m_nSerial = tm->GetTimerSerial();
    *key = st->m_nSerial;
    *aux = reinterpret_cast<uintptr_t>(st->m_pTimer);
    return true;
  } else {
    return false;
  }
  *key = (static_cast<uint64_t>(static_cast<uint32_t>(st->m_nSocket)) << 32) | st->m_nGeneration;
  *aux = 0;
  return true;
}

void CMessageQueue::AddEventCount(CEvent* e) {
  if (CTimerEvent* tm = RecordedTick(e)) {
    CountTimerTick(tm->GetTimerID(), tm->GetTimerSerial());
    return;
  }
  Kind kind;
  uint64_t key;
  uintptr_t aux;
  SlotState st;
  if (!SourceOf(e, &kind, &key, &aux, &st)) return;
  FlowSlot* slot = nullptr;
  const int n = CountInSlots(m_Slots[kind], key, aux, &slot);
  if (n == 0) {
    CountSlow(kind, key, aux, st);
  } else if (n == Hwm(kind)) {
    Reconcile(kind, slot);
  }
}

// The source has no slot (or is being given one): under the flow lock, where
// slots change hands, count it in its slot, a free one, or its record.
void CMessageQueue::CountSlow(Kind kind, uint64_t key, uintptr_t aux, const SlotState& st) {
  ZEPLockGuard lock(m_FlowLock);
  FlowSlot* slot = nullptr;
  int n = CountInSlots(m_Slots[kind], key, aux, &slot);
  std::vector<Overflow>& over = m_Overflow[kind];
  if (n == 0) {
    for (Overflow& r : over) {
      if (r.m_nKey != key || r.m_nAux != aux) continue;
      ++r.m_nCount;
      if (InEpisodeLocked(kind, st)) {
        if (kind == kTimer) {
          m_TimerEpisodes.AddEvents(EpisodeSocket(kind, st), EpisodeGeneration(kind, st), 1);
        } else {
          m_Episodes.AddEvents(st.m_nSocket, st.m_nGeneration, 1);
          g_FloodEvents.fetch_add(1, std::memory_order_relaxed);
        }
      }
      ApplyLocked(kind, r.m_State, r.m_nCount, nullptr);
      return;
    }
    // A slot that is free, or whose source has nothing queued and is not
    // paused, goes to this source. Producers of the old source that read its
    // key before fail their swap on the new epoch.
    for (int i = 0; i < kSlots && slot == nullptr; ++i) {
      FlowSlot& s = m_Slots[kind][i];
      uint64_t w = s.m_nWord.load(std::memory_order_acquire);
      if ((w & kKeyed) != 0 && ((w & kCountMask) != 0 || m_SlotState[kind][i].m_bPaused)) continue;
      if (!s.m_nWord.compare_exchange_strong(w, (w & kEpochMask) + kEpochOne + kBusy,
                                             std::memory_order_acq_rel))
        continue;
      if ((w & kKeyed) != 0) HarvestLocked(kind, &s, m_SlotState[kind][i]);
      s.m_nKey.store(key, std::memory_order_relaxed);
      s.m_nAux.store(aux, std::memory_order_relaxed);
      m_SlotState[kind][i] = st;
      const bool flooding = InEpisodeLocked(kind, st);
      s.m_bInEpisode.store(flooding, std::memory_order_relaxed);
      s.m_nEpisodeEvents.store(flooding ? 1 : 0, std::memory_order_relaxed);
      s.m_nWord.store(((w & kEpochMask) + kEpochOne) | kKeyed | 1, std::memory_order_release);
      slot = &s;
      n = 1;
    }
    if (slot == nullptr) {
      Overflow r;
      r.m_nKey = key;
      r.m_nAux = aux;
      r.m_nCount = 1;
      r.m_State = st;
      // Out of memory for one more record is fatal, as an empty record pool was.
      try {
        over.push_back(r);
      } catch (const std::bad_alloc&) {
        ZEP_ASSERT(false);
      }
      ApplyLocked(kind, over.back().m_State, 1, nullptr);
      return;
    }
  }
  if (n == Hwm(kind)) ApplyLocked(kind, m_SlotState[kind][slot - m_Slots[kind]], n, slot);
}

void CMessageQueue::CountTimerTick(TimeEvent_tag* rec, uint64_t serial) {
  // A tick of a timer re-armed or deleted since it was made is not counted
  // (nor uncounted when it is received): it can pause nothing.
  const int n = rec->AddQueued(serial, 1);
  if (n < 0) return;
  if (m_nOpenTimerEpisodes.load(std::memory_order_relaxed) > 0) {
    ZEPLockGuard lock(m_FlowLock);
    SlotState st;
    st.m_nSerial = serial;
    if (InEpisodeLocked(kTimer, st))
      m_TimerEpisodes.AddEvents(EpisodeSocket(kTimer, st), EpisodeGeneration(kTimer, st), 1);
  }
  if (n == Hwm(kTimer)) ReconcileTimer(rec, serial);
}

// A timer's count crossed the mark: its paused flag follows the count as it
// is now (as Reconcile does for a slot). The record's flag is the queue's
// state too, since the timer's ticks go to this queue only; the serial-checked
// swap makes every counted pause or resume a change of the armed timer.
void CMessageQueue::ReconcileTimer(TimeEvent_tag* rec, uint64_t serial) {
  ZEPLockGuard lock(m_FlowLock);
  const int count = rec->AddQueued(serial, 0);
  if (count < 0) return;
  const bool want = count >= Hwm(kTimer);
  if (!rec->SetPaused(serial, want)) return;
  std::vector<TimerRef>& paused = m_PausedTimers;
  // Timers re-armed since this queue paused them are forgotten too.
  for (size_t i = 0; i < paused.size();) {
    if (paused[i].m_pRec == rec || paused[i].m_pRec->GetSerial() != paused[i].m_nSerial) {
      paused[i] = paused.back();
      paused.pop_back();
    } else {
      ++i;
    }
  }
  if (!want) {
    ++m_Stats.nTimerResumes;
    return;
  }
  try {
    paused.push_back(TimerRef{rec, serial});
  } catch (const std::bad_alloc&) {
    ZEP_ASSERT(false);
  }
  ++m_Stats.nTimerPauses;
  SlotState st;
  st.m_nSerial = serial;
  const int64_t now = MonoSec();
  CloseEpisodesLocked(now, false);
  if (m_TimerEpisodes.OnPause(EpisodeSocket(kTimer, st), EpisodeGeneration(kTimer, st), now,
                              count)) {
    // Like a socket's: the first pause of a timer's flood is logged, and
    // its later ticks are added to the episode until it closes.
    m_nOpenEpisodes.store(static_cast<int>(OpenEpisodesLocked()), std::memory_order_relaxed);
    m_nOpenTimerEpisodes.store(static_cast<int>(m_TimerEpisodes.OpenCount()),
                               std::memory_order_relaxed);
    ZEP_QUEUE_LOG_LATER(LOG_INFO, "message queue: timer " << static_cast<unsigned long>(serial)
                                                          << " paused at " << count
                                                          << " queued events");
  }
}

void CMessageQueue::DelEventCount(CEvent* e) {
  if (CTimerEvent* tm = RecordedTick(e)) {
    TimeEvent_tag* rec = tm->GetTimerID();
    const uint64_t serial = tm->GetTimerSerial();
    if (rec->AddQueued(serial, -1) == Hwm(kTimer) - 1) ReconcileTimer(rec, serial);
    return;
  }
  Kind kind;
  uint64_t key;
  uintptr_t aux;
  SlotState st;
  if (!SourceOf(e, &kind, &key, &aux, &st)) {
    DelUEventCount(e);
    return;
  }
  // The event's own count keeps its slot from changing hands: a slot that
  // names the source now holds it.
  for (int i = 0; i < kSlots; ++i) {
    FlowSlot& s = m_Slots[kind][i];
    const uint64_t w = s.m_nWord.load(std::memory_order_acquire);
    if ((w & (kKeyed | kBusy)) != kKeyed || (w & kCountMask) == 0 ||
        s.m_nKey.load(std::memory_order_relaxed) != key ||
        s.m_nAux.load(std::memory_order_relaxed) != aux)
      continue;
    const uint64_t before = s.m_nWord.fetch_sub(1, std::memory_order_acq_rel);
    ZEP_ASSERT((before & kCountMask) != 0);
    if (static_cast<int>((before - 1) & kCountMask) == Hwm(kind) - 1) Reconcile(kind, &s);
    return;
  }
  ZEPLockGuard lock(m_FlowLock);
  std::vector<Overflow>& over = m_Overflow[kind];
  for (size_t i = 0; i < over.size(); ++i) {
    Overflow& r = over[i];
    if (r.m_nKey != key || r.m_nAux != aux) continue;
    --r.m_nCount;
    ApplyLocked(kind, r.m_State, r.m_nCount, nullptr);
    if (r.m_nCount <= 0) {
      // Records carry no order: the last one fills the gap.
      over[i] = over.back();
      over.pop_back();
    }
    return;
  }
  ZEP_ASSERT(false);  // a queued event always has its count
}

// The count of a slot crossed the mark: its paused flag follows the count as
// it is now. Whoever comes last among racing crossings sees the final count,
// so the flag ends right and every call to the flow control is a change.
void CMessageQueue::Reconcile(Kind kind, FlowSlot* slot) {
  ZEPLockGuard lock(m_FlowLock);
  const uint64_t w = slot->m_nWord.load(std::memory_order_acquire);
  if ((w & (kKeyed | kBusy)) != kKeyed) return;
  ApplyLocked(kind, m_SlotState[kind][slot - m_Slots[kind]], static_cast<int>(w & kCountMask),
              slot);
}

void CMessageQueue::ApplyLocked(Kind kind, SlotState& st, int count, FlowSlot* slot) {
  const bool want = count >= Hwm(kind);
  if (want == st.m_bPaused) return;
  st.m_bPaused = want;
  if (kind == kTimer) {
    if (want) {
      ++m_Stats.nTimerPauses;
      const int64_t now = MonoSec();
      CloseEpisodesLocked(now, false);
      if (m_TimerEpisodes.OnPause(EpisodeSocket(kind, st), EpisodeGeneration(kind, st), now,
                                  count)) {
        // Like a socket's: the first pause of a timer's flood is logged.
        m_nOpenEpisodes.store(static_cast<int>(OpenEpisodesLocked()), std::memory_order_relaxed);
        if (slot != nullptr) {
          slot->m_nEpisodeEvents.store(0, std::memory_order_relaxed);
          slot->m_bInEpisode.store(true, std::memory_order_relaxed);
        }
        ZEP_QUEUE_LOG_LATER(LOG_INFO, "message queue: timer "
                                          << static_cast<unsigned long>(st.m_nSerial)
                                          << " paused at " << count << " queued events");
      } else if (slot != nullptr) {
        HarvestLocked(kind, slot, st);
      }
      // Only the timer armed with this serial is paused; a tick of a timer
      // deleted meanwhile pauses nothing.
      if (st.m_pTimer != nullptr) st.m_pTimer->SetPaused(st.m_nSerial, true);
    } else if (st.m_pTimer != nullptr && st.m_pTimer->SetPaused(st.m_nSerial, false)) {
      // The record may have been deleted (and its slot reused by another
      // timer) while these ticks waited: the serial-checked resume then
      // writes nothing and is not counted.
      ++m_Stats.nTimerResumes;
    }
    return;
  }
  if (want) {
    ++m_Stats.nSocketPauses;
    g_FloodPauses.fetch_add(1, std::memory_order_relaxed);
    const int64_t now = MonoSec();
    CloseEpisodesLocked(now, false);
    if (m_Episodes.OnPause(st.m_nSocket, st.m_nGeneration, now, count)) {
      // The first pause of a flood is logged; the rest are counted.
      ++m_Stats.nEpisodes;
      g_FloodEpisodes.fetch_add(1, std::memory_order_relaxed);
      g_FloodOpen.fetch_add(1, std::memory_order_relaxed);
      g_FloodEvents.fetch_add(static_cast<uint64_t>(count), std::memory_order_relaxed);
      m_nOpenEpisodes.store(static_cast<int>(OpenEpisodesLocked()), std::memory_order_relaxed);
      if (slot != nullptr) {
        slot->m_nEpisodeEvents.store(0, std::memory_order_relaxed);
        slot->m_bInEpisode.store(true, std::memory_order_relaxed);
      }
      ZEP_QUEUE_LOG_LATER(LOG_INFO, "message queue: socket "
                                        << static_cast<unsigned long>(st.m_nSocket) << " paused at "
                                        << count << " queued events");
    } else if (slot != nullptr) {
      HarvestLocked(kind, slot, st);
    }
  } else {
    ++m_Stats.nSocketResumes;
  }
  // A command event without a generation names no socket record (the flow
  // control would take generation 0 for whichever socket has the number).
  if (kind == kCmd && st.m_nGeneration == 0) return;
  if (m_pFrame != nullptr) m_pFrame->SetFCPaused(st.m_nSocket, st.m_nGeneration, want);
}

// A timer's episode is kept under its serial, split over the two fields a
// socket's episode uses.
int CMessageQueue::EpisodeSocket(Kind kind, const SlotState& st) {
  return kind == kTimer ? static_cast<int>(static_cast<uint32_t>(st.m_nSerial >> 32))
                        : st.m_nSocket;
}
uint32_t CMessageQueue::EpisodeGeneration(Kind kind, const SlotState& st) {
  return kind == kTimer ? static_cast<uint32_t>(st.m_nSerial) : st.m_nGeneration;
}

bool CMessageQueue::InEpisodeLocked(Kind kind, const SlotState& st) {
  return (kind == kTimer ? m_TimerEpisodes : m_Episodes)
      .IsOpen(EpisodeSocket(kind, st), EpisodeGeneration(kind, st));
}

size_t CMessageQueue::OpenEpisodesLocked() {
  return m_Episodes.OpenCount() + m_TimerEpisodes.OpenCount();
}

// Adds the events a flooding slot counted since the last harvest to its
// episode.
void CMessageQueue::HarvestLocked(Kind kind, FlowSlot* slot, const SlotState& st) {
  if (!slot->m_bInEpisode.load(std::memory_order_relaxed)) return;
  const uint64_t n = slot->m_nEpisodeEvents.exchange(0, std::memory_order_relaxed);
  if (n == 0) return;
  if (kind == kTimer) {
    m_TimerEpisodes.AddEvents(EpisodeSocket(kind, st), EpisodeGeneration(kind, st), n);
    return;
  }
  m_Episodes.AddEvents(st.m_nSocket, st.m_nGeneration, n);
  g_FloodEvents.fetch_add(n, std::memory_order_relaxed);
}

void CMessageQueue::CloseEpisodesLocked(int64_t nowSec, bool all) {
  if (OpenEpisodesLocked() == 0) return;
  for (int k = kTCP; k < kKinds; ++k)
    for (int i = 0; i < kSlots; ++i)
      HarvestLocked(static_cast<Kind>(k), &m_Slots[k][i], m_SlotState[k][i]);
  const char* why = all ? "queue closed" : "quiet for 10 s";
  for (int pass = 0; pass < 2; ++pass) {
    const bool timers = pass == 1;
    std::vector<ZEPFloodEpisodes::Episode> closed;
    (timers ? m_TimerEpisodes : m_Episodes).Close(nowSec, all, &closed);
    for (const ZEPFloodEpisodes::Episode& ep : closed) {
      const int kFirst = timers ? kTimer : kTCP;
      const int kLast = timers ? kTimer : kCmd;
      for (int k = kFirst; k <= kLast; ++k) {
        for (int i = 0; i < kSlots; ++i) {
          const SlotState& st = m_SlotState[k][i];
          if (EpisodeSocket(static_cast<Kind>(k), st) == ep.m_nSocket &&
              EpisodeGeneration(static_cast<Kind>(k), st) == ep.m_nGeneration)
            m_Slots[k][i].m_bInEpisode.store(false, std::memory_order_relaxed);
        }
      }
      const long long secs = static_cast<long long>(ep.m_nLastSec - ep.m_nFirstSec);
      if (timers) {
        const uint64_t serial =
            (static_cast<uint64_t>(static_cast<uint32_t>(ep.m_nSocket)) << 32) | ep.m_nGeneration;
        ZEP_QUEUE_LOG_LATER(
            LOG_INFO, "message queue: timer "
                          << static_cast<unsigned long>(serial) << " flood over (" << why
                          << "): " << static_cast<unsigned long long>(ep.m_nPauses) << " pauses, "
                          << static_cast<unsigned long long>(ep.m_nEvents) << " events in " << secs
                          << " s");
        continue;
      }
      g_FloodOpen.fetch_sub(1, std::memory_order_relaxed);
      ZEP_QUEUE_LOG_LATER(
          LOG_INFO, "message queue: socket "
                        << static_cast<unsigned long>(ep.m_nSocket) << " flood over (" << why
                        << "): " << static_cast<unsigned long long>(ep.m_nPauses) << " pauses, "
                        << static_cast<unsigned long long>(ep.m_nEvents) << " events in " << secs
                        << " s");
    }
  }
  m_nOpenEpisodes.store(static_cast<int>(OpenEpisodesLocked()), std::memory_order_relaxed);
  m_nOpenTimerEpisodes.store(static_cast<int>(m_TimerEpisodes.OpenCount()),
                             std::memory_order_relaxed);
}

void CMessageQueue::MaybeCloseEpisodes() {
  if (m_nOpenEpisodes.load(std::memory_order_relaxed) == 0) return;
  const int64_t now = MonoSec();
  if (now < m_nNextEpisodeCheck.load(std::memory_order_relaxed)) return;
  m_nNextEpisodeCheck.store(now + 1, std::memory_order_relaxed);
  ZEPLockGuard lock(m_FlowLock);
  CloseEpisodesLocked(now, false);
}

void CMessageQueue::CloseQuietEpisodes(int64_t nowSec) {
  {
    ZEPLockGuard lock(m_FlowLock);
    CloseEpisodesLocked(nowSec < 0 ? MonoSec() : nowSec, false);
  }
  FlushLog();
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

CMessageQueue::FlowStats CMessageQueue::GetFlowStats() {
  ZEPLockGuard lock(m_FlowLock);
  return m_Stats;
}

CMessageQueue::FloodTotals CMessageQueue::GetFloodTotals() {
  FloodTotals t;
  t.nPauses = g_FloodPauses.load(std::memory_order_relaxed);
  t.nEpisodes = g_FloodEpisodes.load(std::memory_order_relaxed);
  t.nEvents = g_FloodEvents.load(std::memory_order_relaxed);
  t.nOpen = g_FloodOpen.load(std::memory_order_relaxed);
  return t;
}
