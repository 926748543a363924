// CMessageQueue: flow control. Every counted event is counted against its
// source (a socket's slot or record, a timer's record) and uncounted when it
// is received; a count at the high-water mark pauses the source, one that
// falls back below it resumes it. The event watches live here too.
#include <new>

#include "base/lockguard.h"
#include "base/zepassert.h"
#include "events/messageq.h"
#include "events/messageq_flood.h"
#include "events/timerrecord.h"
#include "log/zeplog.h"

using zepqueue_detail::g_FloodEpisodes;
using zepqueue_detail::g_FloodEvents;
using zepqueue_detail::g_FloodOpen;
using zepqueue_detail::g_FloodPauses;
using zepqueue_detail::MonoSec;

namespace {

// A slot's word: the count, then the busy and keyed bits, then the epoch.
constexpr uint64_t kCountMask = 0xffffffffull;
constexpr uint64_t kBusy = 1ull << 32;
constexpr uint64_t kKeyed = 1ull << 33;
constexpr uint64_t kEpochOne = 1ull << 34;
constexpr uint64_t kEpochMask = ~(kEpochOne - 1);

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
}  // namespace

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
    ApplyTimerLocked(st, count, slot, want);
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

// A tick counted in a slot (its timer has no record): the timer of that
// serial is paused or resumed, and its flood episode opened.
void CMessageQueue::ApplyTimerLocked(SlotState& st, int count, FlowSlot* slot, bool want) {
  if (want) {
    ++m_Stats.nTimerPauses;
    const int64_t now = MonoSec();
    CloseEpisodesLocked(now, false);
    if (m_TimerEpisodes.OnPause(EpisodeSocket(kTimer, st), EpisodeGeneration(kTimer, st), now,
                                count)) {
      // Like a socket's: the first pause of a timer's flood is logged.
      m_nOpenEpisodes.store(static_cast<int>(OpenEpisodesLocked()), std::memory_order_relaxed);
      if (slot != nullptr) {
        slot->m_nEpisodeEvents.store(0, std::memory_order_relaxed);
        slot->m_bInEpisode.store(true, std::memory_order_relaxed);
      }
      ZEP_QUEUE_LOG_LATER(LOG_INFO, "message queue: timer "
                                        << static_cast<unsigned long>(st.m_nSerial) << " paused at "
                                        << count << " queued events");
    } else if (slot != nullptr) {
      HarvestLocked(kTimer, slot, st);
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

CMessageQueue::FlowStats CMessageQueue::GetFlowStats() {
  ZEPLockGuard lock(m_FlowLock);
  return m_Stats;
}
